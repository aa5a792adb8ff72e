#pragma once
// The owner of one block that a filtering call allocated for the caller.

#include <windows.h>

#include <fwpmu.h>

#include "common/win/owned.h"

namespace qel::wfp {

inline void fwpm_free(void* p) {
    FwpmFreeMemory0(&p);
}

template <class T>
using FwpmMemory = win::Owned<T*, fwpm_free>;

}  // namespace qel::wfp
