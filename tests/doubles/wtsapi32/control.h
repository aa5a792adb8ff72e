#pragma once
// The control interface of the wtsapi32 test double: extra exports that in-process tests
// reach through GetProcAddress. Each setting set here wins over its environment variable:
//   QEL_WTS_SESSIONS    "id:state,..." (states by name, e.g. "0:active,3:disconnected", or by
//                       number; empty: no session); unset: "1:active", the console under Wine
//                       "@<path>": the sessions are read from that file at each call, so that a
//                       test can change them while the program runs
//   QEL_WTS_QUERY_FAIL  "id:error,..." WTSQueryUserToken(id) fails with that last error
//   QEL_WTS_QUERY_HANG  "id:ms,..."    WTSQueryUserToken(id) sleeps that long first, standing
//                       in for a user who makes the token step's opens in their profile wait
//   QEL_WTS_ENUM_FAIL   "error"        WTSEnumerateSessionsW fails with that last error
//   QEL_WTS_CALL_LOG    "<path>"       each WTSQueryUserToken call appends "WTSQueryUserToken
//                       <id>" and a line feed to that file as it begins
// A setting that does not parse makes the call that reads it fail with ERROR_INVALID_DATA.

#include <windows.h>

namespace qel::test::wts {

// The setting as text, or nullptr to fall back to the environment. FALSE when the text does not
// parse.
using SetFn = BOOL(WINAPI*)(LPCWSTR text);
inline constexpr const char* kSetSessions = "QelWtsSetSessions";
inline constexpr const char* kSetQueryFail = "QelWtsSetQueryFail";
inline constexpr const char* kSetQueryHang = "QelWtsSetQueryHang";
inline constexpr const char* kSetEnumFail = "QelWtsSetEnumFail";

// Drops every setting and zeroes the call counters; live allocations stay counted.
using ResetFn = void(WINAPI*)();
inline constexpr const char* kReset = "QelWtsReset";

// Calls of one of the double's Windows functions by name since the last reset; -1 for a
// name it does not implement.
using CallCountFn = LONG(WINAPI*)(LPCSTR function);
inline constexpr const char* kCallCount = "QelWtsCallCount";

// Session arrays handed out and not yet given back to WTSFreeMemory; and WTSFreeMemory calls
// with a pointer the double never handed out (the real one would corrupt the heap).
using CounterFn = LONG(WINAPI*)();
inline constexpr const char* kLiveAllocations = "QelWtsLiveAllocations";
inline constexpr const char* kBadFrees = "QelWtsBadFrees";

// The token handle that the last successful WTSQueryUserToken gave out.
using LastTokenFn = HANDLE(WINAPI*)();
inline constexpr const char* kLastUserToken = "QelWtsLastUserToken";

}  // namespace qel::test::wts
