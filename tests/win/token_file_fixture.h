#pragma once
// Tests of the token steps against the wtsapi32 double, with the token folder of this
// process's user (<LocalAppData>\com.qel) removed before and after each test.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "runtime_fixture.h"
#include "wts_double.h"

namespace qel::test {

class TokenFileTest : public RuntimeTest {
  public:
    static std::wstring token_dir();

  protected:
    void SetUp() override;
    void TearDown() override;

    static std::wstring token_path() { return token_dir() + L"\\agent.tok"; }
    static std::wstring temp_path() { return token_dir() + L"\\agent.tok.tmp"; }
    // The file's bytes; nothing when it cannot be read.
    static std::optional<std::string> read_file(const std::wstring& path);
    static bool exists(const std::wstring& path);

    std::optional<WtsDouble> wts;
};

bool is_lower_hex_token(const std::string& t);

}  // namespace qel::test
