#pragma once
// The Windows service: the dispatcher hand-off and the service thread's body.

#include "common/error.h"

namespace qel::service {

inline constexpr wchar_t kServiceName[] = L"qel-agent";

// Connects the process to the Service Control Manager; returns when the service stopped.
Result<void> run_service_dispatcher();

}  // namespace qel::service
