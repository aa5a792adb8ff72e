// The filtering calls the agent makes, answered from the double's state as the Base
// Filtering Engine answers them.

#include <windows.h>

#include <fwpmu.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>

#include "calls.h"
#include "state.h"
#include "store.h"

namespace {

using namespace qel::fwpdbl;

constexpr DWORD kFilterNotFound = 0x80320003;
constexpr DWORD kLayerNotFound = 0x80320004;
constexpr DWORD kInUse = 0x80320006;
constexpr DWORD kSublayerNotFound = 0x80320007;
constexpr DWORD kAlreadyExists = 0x80320009;

// The layers filters may be added to: the two ALE connect layers.
constexpr const char* kKnownLayers[] = {
    "C38D57D1-05A7-4C33-904F-7FBCEEE60E82",
    "4A72393B-319F-44BC-84C3-BA54DCB3B6B4",
};

std::string key_text(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

std::string utf8(const wchar_t* w) {
    if (w == nullptr)
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, w, -1, out.data(), n, nullptr, nullptr);
    return out;
}

std::uint64_t handle_value(HANDLE h) {
    return reinterpret_cast<std::uintptr_t>(h);
}

bool has_engine(const State& s, HANDLE h) {
    return std::any_of(s.engines.begin(), s.engines.end(),
                       [&](const Engine& e) { return e.handle == handle_value(h); });
}

template <class T>
auto find_key(std::vector<T>& v, const std::string& key) {
    return std::find_if(v.begin(), v.end(), [&](const T& x) { return x.key == key; });
}

// A copy of the stored object with this key, read through a valid handle.
template <class T>
DWORD copy_by_key(std::vector<T> State::*list, HANDLE engine, const std::string& key,
                  DWORD not_found, T& out) {
    DWORD rc = 0;
    with_state([&](State& s) {
        const auto it = find_key(s.*list, key);
        if (!has_engine(s, engine))
            rc = ERROR_INVALID_HANDLE;
        else if (it == (s.*list).end())
            rc = not_found;
        else
            out = *it;
        return false;
    });
    return rc;
}

// The blocks this process handed out, so that FwpmFreeMemory0 frees only those.
std::mutex g_blocks_mutex;
std::set<void*> g_blocks;

void* hand_out(std::size_t bytes) {
    void* p = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
    if (p == nullptr)
        return nullptr;
    {
        std::lock_guard lock(g_blocks_mutex);
        g_blocks.insert(p);
    }
    with_state([](State& s) {
        ++s.memory_outstanding;
        return true;
    });
    return p;
}

GUID guid_of(const std::string& text) {
    GUID g{};
    unsigned long d1 = 0;
    unsigned d2 = 0, d3 = 0, d4[8] = {};
    std::sscanf(text.c_str(), "%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d1, &d2, &d3, &d4[0],
                &d4[1], &d4[2], &d4[3], &d4[4], &d4[5], &d4[6], &d4[7]);
    g.Data1 = d1;
    g.Data2 = static_cast<unsigned short>(d2);
    g.Data3 = static_cast<unsigned short>(d3);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<unsigned char>(d4[i]);
    return g;
}

std::wstring wide(const std::string& s) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
    return out;
}

// A copy of the display name inside a handed-out block, right after `used` bytes.
wchar_t* put_name(void* block, std::size_t used, const std::wstring& name) {
    auto* dst = reinterpret_cast<wchar_t*>(static_cast<char*>(block) + used);
    CopyMemory(dst, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    return dst;
}

DWORD copy_condition(const FWPM_FILTER_CONDITION0& in, Condition& out) {
    out.field = key_text(in.fieldKey);
    out.match = in.matchType;
    const FWP_CONDITION_VALUE0& v = in.conditionValue;
    switch (v.type) {
        case FWP_UINT32:
            out.type = Condition::Type::uint32;
            out.number = v.uint32;
            return 0;
        case FWP_UINT64:
            if (v.uint64 == nullptr)
                return ERROR_INVALID_PARAMETER;
            out.type = Condition::Type::uint64;
            out.number = *v.uint64;
            return 0;
        case FWP_BYTE_BLOB_TYPE:
            if (v.byteBlob == nullptr || (v.byteBlob->size > 0 && v.byteBlob->data == nullptr))
                return ERROR_INVALID_PARAMETER;
            out.type = Condition::Type::blob;
            out.blob.assign(v.byteBlob->data, v.byteBlob->data + v.byteBlob->size);
            return 0;
        default:
            return ERROR_INVALID_PARAMETER;
    }
}

DWORD add_filter(State& s, HANDLE engine, const FWPM_FILTER0& in) {
    if (!has_engine(s, engine))
        return ERROR_INVALID_HANDLE;
    Filter f;
    f.key = key_text(in.filterKey);
    f.layer = key_text(in.layerKey);
    f.sublayer = key_text(in.subLayerKey);
    f.action = in.action.type;
    f.flags = in.flags;
    f.name = utf8(in.displayData.name);
    if (find_key(s.filters, f.key) != s.filters.end())
        return kAlreadyExists;
    if (std::find(std::begin(kKnownLayers), std::end(kKnownLayers), f.layer) ==
        std::end(kKnownLayers)) {
        return kLayerNotFound;
    }
    if (find_key(s.sublayers, f.sublayer) == s.sublayers.end())
        return kSublayerNotFound;
    switch (in.weight.type) {
        case FWP_EMPTY:
            break;
        case FWP_UINT8:
            f.weight = in.weight.uint8;
            break;
        case FWP_UINT64:
            if (in.weight.uint64 == nullptr)
                return ERROR_INVALID_PARAMETER;
            f.weight = *in.weight.uint64;
            break;
        default:
            return ERROR_INVALID_PARAMETER;
    }
    if (in.numFilterConditions > 0 && in.filterCondition == nullptr)
        return ERROR_INVALID_PARAMETER;
    for (UINT32 i = 0; i < in.numFilterConditions; ++i) {
        Condition c;
        if (const DWORD rc = copy_condition(in.filterCondition[i], c); rc != 0)
            return rc;
        f.conditions.push_back(std::move(c));
    }
    s.filters.push_back(std::move(f));
    return 0;
}

}  // namespace

extern "C" {

DWORD WINAPI FwpmEngineOpen0(const wchar_t* serverName, UINT32 authnService,
                             SEC_WINNT_AUTH_IDENTITY_W* authIdentity, const FWPM_SESSION0* session,
                             HANDLE* engineHandle) {
    static constexpr const char* fn = "FwpmEngineOpen0";
    if (auto fault = begin_call(fn))
        return end_call(fn, "", fault->code);
    if (engineHandle == nullptr || serverName != nullptr || authIdentity != nullptr)
        return end_call(fn, "", ERROR_INVALID_PARAMETER);
    std::uint64_t handle = 0;
    with_state([&](State& s) {
        handle = s.next_handle++;
        s.engines.push_back({handle, GetCurrentProcessId(), authnService, session != nullptr});
        return true;
    });
    *engineHandle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle));
    return end_call(fn, std::to_string(handle), 0);
}

DWORD WINAPI FwpmEngineClose0(HANDLE engineHandle) {
    static constexpr const char* fn = "FwpmEngineClose0";
    const std::string detail = std::to_string(handle_value(engineHandle));
    if (auto fault = begin_call(fn))
        return end_call(fn, detail, fault->code);
    DWORD rc = 0;
    with_state([&](State& s) {
        const auto it = std::find_if(s.engines.begin(), s.engines.end(), [&](const Engine& e) {
            return e.handle == handle_value(engineHandle);
        });
        if (it == s.engines.end()) {
            rc = ERROR_INVALID_HANDLE;
            return false;
        }
        s.engines.erase(it);
        return true;
    });
    return end_call(fn, detail, rc);
}

DWORD WINAPI FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer,
                              PSECURITY_DESCRIPTOR) {
    static constexpr const char* fn = "FwpmSubLayerAdd0";
    const std::string detail = subLayer ? key_text(subLayer->subLayerKey) : std::string();
    if (auto fault = begin_call(fn))
        return end_call(fn, detail, fault->code);
    if (subLayer == nullptr)
        return end_call(fn, detail, ERROR_INVALID_PARAMETER);
    DWORD rc = 0;
    with_state([&](State& s) {
        if (!has_engine(s, engineHandle))
            rc = ERROR_INVALID_HANDLE;
        else if (find_key(s.sublayers, detail) != s.sublayers.end())
            rc = kAlreadyExists;
        else
            s.sublayers.push_back(
                {detail, subLayer->weight, subLayer->flags, utf8(subLayer->displayData.name)});
        return rc == 0;
    });
    return end_call(fn, detail, rc);
}

DWORD WINAPI FwpmSubLayerDeleteByKey0(HANDLE engineHandle, const GUID* key) {
    static constexpr const char* fn = "FwpmSubLayerDeleteByKey0";
    const std::string detail = key ? key_text(*key) : std::string();
    if (auto fault = begin_call(fn))
        return end_call(fn, detail, fault->code);
    if (key == nullptr)
        return end_call(fn, detail, ERROR_INVALID_PARAMETER);
    DWORD rc = 0;
    with_state([&](State& s) {
        const auto it = find_key(s.sublayers, detail);
        if (!has_engine(s, engineHandle))
            rc = ERROR_INVALID_HANDLE;
        else if (it == s.sublayers.end())
            rc = kSublayerNotFound;
        else if (std::any_of(s.filters.begin(), s.filters.end(),
                             [&](const Filter& f) { return f.sublayer == detail; }))
            rc = kInUse;
        else
            s.sublayers.erase(it);
        return rc == 0;
    });
    return end_call(fn, detail, rc);
}

DWORD WINAPI FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter, PSECURITY_DESCRIPTOR,
                            UINT64* id) {
    static constexpr const char* fn = "FwpmFilterAdd0";
    const std::string detail = filter ? key_text(filter->filterKey) : std::string();
    if (auto fault = begin_call(fn))
        return end_call(fn, detail, fault->code);
    if (filter == nullptr)
        return end_call(fn, detail, ERROR_INVALID_PARAMETER);
    DWORD rc = 0;
    std::uint64_t count = 0;
    with_state([&](State& s) {
        rc = add_filter(s, engineHandle, *filter);
        count = s.filters.size();
        return rc == 0;
    });
    if (rc == 0 && id != nullptr)
        *id = count;
    return end_call(fn, detail, rc);
}

DWORD WINAPI FwpmFilterDeleteByKey0(HANDLE engineHandle, const GUID* key) {
    static constexpr const char* fn = "FwpmFilterDeleteByKey0";
    const std::string detail = key ? key_text(*key) : std::string();
    if (auto fault = begin_call(fn))
        return end_call(fn, detail, fault->code);
    if (key == nullptr)
        return end_call(fn, detail, ERROR_INVALID_PARAMETER);
    DWORD rc = 0;
    with_state([&](State& s) {
        const auto it = find_key(s.filters, detail);
        if (!has_engine(s, engineHandle))
            rc = ERROR_INVALID_HANDLE;
        else if (it == s.filters.end())
            rc = kFilterNotFound;
        else
            s.filters.erase(it);
        return rc == 0;
    });
    return end_call(fn, detail, rc);
}

// The record read back carries key, name, flags and weight (and for a filter its layer,
// sublayer and action); conditions are not returned.
DWORD WINAPI FwpmSubLayerGetByKey0(HANDLE engineHandle, const GUID* key,
                                   FWPM_SUBLAYER0** subLayer) {
    static constexpr const char* fn = "FwpmSubLayerGetByKey0";
    const std::string detail = key ? key_text(*key) : std::string();
    if (auto fault = begin_call(fn))
        return end_call(fn, detail, fault->code);
    if (key == nullptr || subLayer == nullptr)
        return end_call(fn, detail, ERROR_INVALID_PARAMETER);
    Sublayer found;
    if (const DWORD rc =
            copy_by_key(&State::sublayers, engineHandle, detail, kSublayerNotFound, found);
        rc != 0)
        return end_call(fn, detail, rc);
    const std::wstring name = wide(found.name);
    void* block = hand_out(sizeof(FWPM_SUBLAYER0) + (name.size() + 1) * sizeof(wchar_t));
    if (block == nullptr)
        return end_call(fn, detail, ERROR_NOT_ENOUGH_MEMORY);
    auto* out = static_cast<FWPM_SUBLAYER0*>(block);
    out->subLayerKey = *key;
    out->displayData.name = put_name(block, sizeof(FWPM_SUBLAYER0), name);
    out->flags = static_cast<UINT16>(found.flags);
    out->weight = static_cast<UINT16>(found.weight);
    *subLayer = out;
    return end_call(fn, detail, 0);
}

DWORD WINAPI FwpmFilterGetByKey0(HANDLE engineHandle, const GUID* key, FWPM_FILTER0** filter) {
    static constexpr const char* fn = "FwpmFilterGetByKey0";
    const std::string detail = key ? key_text(*key) : std::string();
    if (auto fault = begin_call(fn))
        return end_call(fn, detail, fault->code);
    if (key == nullptr || filter == nullptr)
        return end_call(fn, detail, ERROR_INVALID_PARAMETER);
    Filter found;
    if (const DWORD rc = copy_by_key(&State::filters, engineHandle, detail, kFilterNotFound, found);
        rc != 0)
        return end_call(fn, detail, rc);
    const std::wstring name = wide(found.name);
    const std::size_t head = sizeof(FWPM_FILTER0) + sizeof(UINT64);
    void* block = hand_out(head + (name.size() + 1) * sizeof(wchar_t));
    if (block == nullptr)
        return end_call(fn, detail, ERROR_NOT_ENOUGH_MEMORY);
    auto* out = static_cast<FWPM_FILTER0*>(block);
    auto* weight = reinterpret_cast<UINT64*>(out + 1);
    *weight = found.weight;
    out->filterKey = *key;
    out->displayData.name = put_name(block, head, name);
    out->flags = found.flags;
    out->layerKey = guid_of(found.layer);
    out->subLayerKey = guid_of(found.sublayer);
    out->weight.type = FWP_UINT64;
    out->weight.uint64 = weight;
    out->action.type = found.action;
    *filter = out;
    return end_call(fn, detail, 0);
}

// The blob is the file's full path in lower case as UTF-16 with its terminating NUL (the real
// engine uses the NT device path), allocated in one block with its header.
DWORD WINAPI FwpmGetAppIdFromFileName0(const wchar_t* fileName, FWP_BYTE_BLOB** appId) {
    static constexpr const char* fn = "FwpmGetAppIdFromFileName0";
    const std::string detail = utf8(fileName);
    if (auto fault = begin_call(fn)) {
        if (fault->null_app_id && appId != nullptr)
            *appId = nullptr;
        return end_call(fn, detail, fault->code);
    }
    if (appId == nullptr || fileName == nullptr)
        return end_call(fn, detail, ERROR_INVALID_PARAMETER);
    wchar_t full[32768];
    const DWORD len = GetFullPathNameW(fileName, 32768, full, nullptr);
    if (len == 0 || len >= 32768)
        return end_call(fn, detail, GetLastError());
    if (GetFileAttributesW(full) == INVALID_FILE_ATTRIBUTES)
        return end_call(fn, detail, GetLastError());
    CharLowerBuffW(full, len);
    const DWORD bytes = (len + 1) * sizeof(wchar_t);
    auto* blob = static_cast<FWP_BYTE_BLOB*>(hand_out(sizeof(FWP_BYTE_BLOB) + bytes));
    if (blob == nullptr)
        return end_call(fn, detail, ERROR_NOT_ENOUGH_MEMORY);
    blob->size = bytes;
    blob->data = reinterpret_cast<UINT8*>(blob + 1);
    CopyMemory(blob->data, full, bytes);
    *appId = blob;
    return end_call(fn, detail, 0);
}

void WINAPI FwpmFreeMemory0(void** p) {
    if (p == nullptr || *p == nullptr) {
        note_call("FwpmFreeMemory0 null");
        return;
    }
    bool ours = false;
    {
        std::lock_guard lock(g_blocks_mutex);
        ours = g_blocks.erase(*p) > 0;
    }
    if (ours) {
        HeapFree(GetProcessHeap(), 0, *p);
        with_state([](State& s) {
            if (s.memory_outstanding > 0)
                --s.memory_outstanding;
            return true;
        });
    }
    *p = nullptr;
    note_call(ours ? "FwpmFreeMemory0" : "FwpmFreeMemory0 unknown");
}

}  // extern "C"
