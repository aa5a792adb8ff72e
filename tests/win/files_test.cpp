#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "common/win/files.h"
#include "common/win_error.h"
#include "win_test_util.h"

namespace qel::win {
namespace {

using Old = Replacement::OldTarget;

std::optional<std::string> contents(const std::wstring& path) {
    Result<std::optional<std::string>> r = read_file(path);
    EXPECT_TRUE(r.ok()) << r.error().full();
    return r ? *r : std::nullopt;
}

void put(const std::wstring& path, const std::string& text) {
    Replacement how{path + L".seed", path};
    ASSERT_TRUE(replace_file(how, text).ok());
}

class Files : public ::testing::Test {
  protected:
    std::wstring at(const wchar_t* name) const { return dir.path() + L"\\" + name; }
    test::WinTempDir dir;
};

TEST_F(Files, ReplacingLeavesTheNewBytesWholeUnderTheTargetAndNoTemporaryFile) {
    // Larger than one read, with a NUL and a CR LF that must come back unchanged.
    std::string big(200000, 'x');
    big[5] = '\0';
    big.replace(100, 2, "\r\n");
    for (Old old : {Old::replaced_by_move, Old::deleted, Old::deleted_if_present}) {
        for (bool target_exists : {false, true}) {
            SCOPED_TRACE(testing::Message() << "old_target " << static_cast<int>(old)
                                            << ", target exists " << target_exists);
            const std::wstring target = at(L"f.json");
            DeleteFileW(target.c_str());
            if (target_exists)
                put(target, "old text that is longer than nothing");
            Replacement how{target + L".tmp", target};
            how.old_target = old;
            ASSERT_TRUE(replace_file(how, big).ok());
            EXPECT_EQ(contents(target), big);
            EXPECT_EQ(contents(how.temp), std::nullopt);
        }
    }
}

TEST_F(Files, EachFailureCarriesItsStepsContextAndLeavesWhatItsOptionsSay) {
    const std::string text = "new";
    const struct {
        const char* name;
        bool temp_folder_missing;  // else the target is a folder with a file in it
        std::string open_context, move_context;
        bool remove_temp;
        std::vector<std::string> chain;  // without the os-error text that ends it
        std::optional<std::string> temp_after;
    } cases[] = {
        {"open, with a context", true, "open it", "move it", false, {"open it"}, std::nullopt},
        {"open, without one", true, "", "move it", true, {}, std::nullopt},
        {"move, temp kept", false, "open it", "move it", false, {"move it"}, "new"},
        {"move, temp removed", false, "open it", "move it", true, {"move it"}, std::nullopt},
        {"move, without a context", false, "open it", "", false, {}, "new"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring target = at(L"target");
        CreateDirectoryW(target.c_str(), nullptr);
        put(target + L"\\inside", "kept");
        Replacement how{c.temp_folder_missing ? at(L"missing\\t.tmp") : at(L"t.tmp"), target};
        how.open_context = c.open_context;
        how.move_context = c.move_context;
        how.remove_temp_on_failure = c.remove_temp;
        how.old_target = Old::deleted;  // a folder cannot be deleted so: ignored, the move fails

        Result<void> r = replace_file(how, text);
        ASSERT_FALSE(r.ok());
        std::vector<std::string> chain = r.error().chain();
        ASSERT_EQ(chain.size(), c.chain.size() + 1);
        const std::uint32_t code = r.error().os_code().value_or(0);
        EXPECT_EQ(code, c.temp_folder_missing ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
        EXPECT_EQ(chain.back(), os_error_text(code));
        chain.pop_back();
        EXPECT_EQ(chain, c.chain);
        EXPECT_EQ(contents(how.temp), c.temp_after);
        EXPECT_EQ(contents(target + L"\\inside"), "kept");
        DeleteFileW(at(L"t.tmp").c_str());
    }
}

TEST_F(Files, ReadingGivesNothingForAMissingFileOrFolderAndAnErrorForAFolder) {
    EXPECT_EQ(contents(at(L"none")), std::nullopt);
    EXPECT_EQ(contents(at(L"none\\deeper")), std::nullopt);
    put(at(L"empty"), "");
    EXPECT_EQ(contents(at(L"empty")), "");
    EXPECT_FALSE(read_file(dir.path()).ok());
}

// The log's open: created when missing, appended to, readers let in; a process that holds the
// file sharing nothing fails it rather than make it wait, and so does a folder at the name.
TEST_F(Files, AppendingCreatesAppendsAndNeverWaitsForAHolder) {
    const std::wstring log = at(L"agent.log");
    for (const char* line : {"one\n", "two\n"}) {
        Result<UniqueHandle> f = open_for_append(log);
        ASSERT_TRUE(f.ok()) << f.error().full();
        ASSERT_TRUE(write_all(f->get(), line).ok());
        EXPECT_TRUE(read_file(log).ok()) << "a reader while it is open";
    }
    EXPECT_EQ(contents(log), "one\ntwo\n");

    UniqueHandle held(
        CreateFileW(log.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    Result<UniqueHandle> refused = open_for_append(log);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().full(), os_error_text(ERROR_SHARING_VIOLATION));
    held.reset();

    ASSERT_TRUE(CreateDirectoryW(at(L"folder.log").c_str(), nullptr));
    EXPECT_FALSE(open_for_append(at(L"folder.log")).ok());
    EXPECT_EQ(contents(log), "one\ntwo\n");
}

}  // namespace
}  // namespace qel::win
