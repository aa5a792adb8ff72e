#pragma once
// What an exception that ends a task was: its text for the log line, and whether it was a
// cancellation.

#include <exception>
#include <string>
#include <system_error>

#include <asio/error.hpp>

namespace qel::async {

// Its what(), or a fixed text for something that is no std::exception.
inline std::string exception_text(std::exception_ptr e) {
    if (!e)
        return {};
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        return x.what();
    } catch (...) {
        return "unknown exception";
    }
}

// Whether it is the runtime's cancellation of a wait (a task's abort), not a failure.
inline bool is_cancellation(std::exception_ptr e) {
    if (!e)
        return false;
    try {
        std::rethrow_exception(e);
    } catch (const std::system_error& se) {
        return se.code() == asio::error::operation_aborted;
    } catch (...) {
        return false;
    }
}

}  // namespace qel::async
