#pragma once
// The text of an exception, for the log line that reports it.

#include <exception>
#include <string>

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

}  // namespace qel::async
