#pragma once
// The error value of a failed system call that the standard library or asio reported as a
// std::system_error: "<system message> (os error <code>)", carrying the system's own code.

#include <system_error>

#include "common/error.h"

namespace qel {

// Call it first thing in the handler: on Windows it may read the thread's last error, which
// later calls can overwrite.
Error os_error_from(const std::system_error& e);

// Forgets the thread's last error (Windows; nothing elsewhere), so that os_error_from finds
// there only what the failed call after it left.
void clear_os_error() noexcept;

}  // namespace qel
