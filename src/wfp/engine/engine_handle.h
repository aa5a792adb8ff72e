#pragma once
// The owner of one filtering-engine handle.

#include <windows.h>

#include <utility>

#include "common/error.h"

namespace qel::wfp {

class EngineHandle {
  public:
    EngineHandle(EngineHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    EngineHandle& operator=(EngineHandle&&) = delete;
    ~EngineHandle() { close(); }

    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

    // FwpmEngineClose0, at most once; a failure is logged and the handle counts as closed.
    void close();

  private:
    friend Result<EngineHandle> open_engine_handle();
    explicit EngineHandle(HANDLE h) : h_(h) {}
    HANDLE h_ = nullptr;
};

// The local engine, opened without a session: what is added through the handle is not
// dynamic and outlives both the handle and the process.
Result<EngineHandle> open_engine_handle();

}  // namespace qel::wfp
