#pragma once
// The owner of one block that a filtering call allocated for the caller.

#include <windows.h>

#include <fwpmu.h>

namespace qel::wfp {

template <class T>
class FwpmMemory {
  public:
    FwpmMemory() = default;
    FwpmMemory(const FwpmMemory&) = delete;
    FwpmMemory& operator=(const FwpmMemory&) = delete;
    ~FwpmMemory() { reset(); }

    T** out() { return &p_; }
    T* get() const { return p_; }
    T* operator->() const { return p_; }

    // FwpmFreeMemory0, once.
    void reset() {
        if (p_ != nullptr)
            FwpmFreeMemory0(reinterpret_cast<void**>(&p_));
        p_ = nullptr;
    }

  private:
    T* p_ = nullptr;
};

}  // namespace qel::wfp
