#include "settings.h"

#include "../whole_file.h"

#include <cwctype>

namespace qel::test::wts {
namespace {

constexpr std::pair<std::wstring_view, WTS_CONNECTSTATE_CLASS> kStates[] = {
    {L"active", WTSActive},
    {L"connected", WTSConnected},
    {L"connectquery", WTSConnectQuery},
    {L"shadow", WTSShadow},
    {L"disconnected", WTSDisconnected},
    {L"idle", WTSIdle},
    {L"listen", WTSListen},
    {L"reset", WTSReset},
    {L"down", WTSDown},
    {L"init", WTSInit},
};

std::wstring_view trim(std::wstring_view s) {
    while (!s.empty() && std::iswspace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && std::iswspace(s.back()))
        s.remove_suffix(1);
    return s;
}

std::optional<DWORD> parse_number(std::wstring_view s) {
    s = trim(s);
    if (s.empty() || s.size() > 10)
        return std::nullopt;
    unsigned long long v = 0;
    for (wchar_t c : s) {
        if (c < L'0' || c > L'9')
            return std::nullopt;
        v = v * 10 + static_cast<unsigned>(c - L'0');
    }
    if (v > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<DWORD>(v);
}

std::optional<WTS_CONNECTSTATE_CLASS> parse_state(std::wstring_view s) {
    s = trim(s);
    for (const auto& [name, state] : kStates) {
        if (s == name)
            return state;
    }
    if (auto n = parse_number(s); n && *n <= WTSInit)
        return static_cast<WTS_CONNECTSTATE_CLASS>(*n);
    return std::nullopt;
}

// Splits "a:b,c:d" into pairs; nothing when an item lacks its colon.
std::optional<std::vector<std::pair<std::wstring_view, std::wstring_view>>> split_pairs(
    std::wstring_view text) {
    std::vector<std::pair<std::wstring_view, std::wstring_view>> out;
    if (trim(text).empty())
        return out;
    for (;;) {
        const std::size_t comma = text.find(L',');
        const std::wstring_view item = text.substr(0, comma);
        const std::size_t colon = item.find(L':');
        if (colon == std::wstring_view::npos)
            return std::nullopt;
        out.emplace_back(item.substr(0, colon), item.substr(colon + 1));
        if (comma == std::wstring_view::npos)
            return out;
        text.remove_prefix(comma + 1);
    }
}

}  // namespace

std::optional<std::vector<FakeSession>> parse_sessions(std::wstring_view text) {
    auto pairs = split_pairs(text);
    if (!pairs)
        return std::nullopt;
    std::vector<FakeSession> out;
    for (const auto& [id, state] : *pairs) {
        auto i = parse_number(id);
        auto s = parse_state(state);
        if (!i || !s)
            return std::nullopt;
        out.push_back({*i, *s});
    }
    return out;
}

std::optional<std::map<DWORD, DWORD>> parse_session_numbers(std::wstring_view text) {
    auto pairs = split_pairs(text);
    if (!pairs)
        return std::nullopt;
    std::map<DWORD, DWORD> out;
    for (const auto& [id, number] : *pairs) {
        auto i = parse_number(id);
        auto n = parse_number(number);
        if (!i || !n || *n == 0)
            return std::nullopt;
        out[*i] = *n;
    }
    return out;
}

std::optional<DWORD> parse_error_code(std::wstring_view text) {
    if (trim(text).empty())
        return 0;
    return parse_number(text);
}

std::optional<std::wstring> read_env(const wchar_t* name) {
    std::wstring buf(256, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD n = GetEnvironmentVariableW(name, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0)
            return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? std::nullopt
                                                            : std::optional<std::wstring>(L"");
        if (n < buf.size()) {
            buf.resize(n);
            return buf;
        }
        buf.resize(n);
    }
}

std::optional<std::wstring> resolve_file_setting(const std::wstring& text) {
    if (text.empty() || text.front() != L'@')
        return text;
    const std::optional<std::string> bytes = read_whole_file(text.substr(1));
    if (!bytes)
        return std::nullopt;
    // The settings are ASCII.
    return std::wstring(bytes->begin(), bytes->end());
}

}  // namespace qel::test::wts
