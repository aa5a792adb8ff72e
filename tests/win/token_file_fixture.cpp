#include "token_file_fixture.h"

#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "log_capture.h"

namespace qel::test {
namespace {

void remove_token_dir() {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(TokenFileTest::token_dir()), ec);
}

}  // namespace

void TokenFileTest::SetUp() {
    wts = WtsDouble::find();
    ASSERT_TRUE(wts) << "wtsapi32.dll is not the test double: run with WINEDLLOVERRIDES=wtsapi32=n "
                        "and the double beside the test program";
    wts->reset();
    remove_token_dir();
    clear_captured_events();
}

void TokenFileTest::TearDown() {
    if (wts)
        wts->reset();
    remove_token_dir();
}

std::wstring TokenFileTest::token_dir() {
    PWSTR p = nullptr;
    std::wstring dir;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &p)))
        dir = std::wstring(p) + L"\\com.qel";
    CoTaskMemFree(p);
    return dir;
}

std::optional<std::string> TokenFileTest::read_file(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool TokenFileTest::exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_lower_hex_token(const std::string& t) {
    return t.size() == 64 && t.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace qel::test
