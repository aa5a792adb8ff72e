// The agent's data folders, with what another account could have put there before the agent
// first ran: world-writable folders and files, links to files elsewhere. Wine shows a DACL as
// the unix mode bits ("others" are Everyone) and a unix symbolic link as a link.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "harness.h"

namespace qel::e2e {
namespace {

namespace fs = std::filesystem;

std::string program_data() {
    return prefix_path("C:\\ProgramData");
}

std::string data_root() {
    return program_data() + "/QEL";
}

void plant_folder(const std::string& path) {
    fs::create_directories(path);
    fs::permissions(path, fs::perms::all);
}

void plant_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::group_write | fs::perms::others_read |
                              fs::perms::others_write);
}

// Everything under `root`, links not followed: each entry's kind with a file's bytes or a
// link's target, so that two trees compare byte for byte.
std::map<std::string, std::string> tree(const std::string& root) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(e.path(), root).string();
        if (e.is_symlink())
            out[rel] = "link to " + fs::read_symlink(e.path()).string();
        else if (e.is_directory())
            out[rel] = "folder";
        else
            out[rel] = "file " + read_file(e.path().string());
    }
    return out;
}

// The folders in `folder` whose names begin with `prefix`.
std::vector<std::string> named(const std::string& folder, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) {
        if (e.path().filename().string().rfind(prefix, 0) == 0)
            out.push_back(e.path().string());
    }
    return out;
}

fs::perms others(const std::string& path) {
    return fs::status(path).permissions() & fs::perms::others_all;
}

// Files outside the data folder, where nothing may ever be written or deleted.
class Outside {
  public:
    explicit Outside(const std::string& name)
        : path_(fs::temp_directory_path() / ("qel-e2e-" + name + "-" + std::to_string(getpid()))) {
        fs::remove_all(path_);
        fs::create_directories(path_);
        for (const char* f : {"a", "b", "c", "d"})
            std::ofstream(path_ / f) << "outside " << f;
        before_ = tree(path());
    }
    ~Outside() { fs::remove_all(path_); }
    std::string path() const { return path_.string(); }
    std::string file(const char* name) const { return (path_ / name).string(); }
    bool untouched() const { return fs::is_directory(path_) && tree(path()) == before_; }

  private:
    fs::path path_;
    std::map<std::string, std::string> before_;
};

const std::string kConnect = R"({"method":"connect","params":{"profile":{"qel_fake":{}}}})";
const std::string kEngage = R"({"method":"kill_switch_engage","params":{"tun_iface_alias":"lo"}})";

class DataFolder : public AgentTest {
  protected:
    void SetUp() override {
        AgentTest::SetUp();
        remove_moved_aside();
    }
    void TearDown() override {
        AgentTest::TearDown();
        remove_tree(runtime_dir());
        remove_moved_aside();
    }
    static void remove_moved_aside() {
        for (const std::string& p : named(program_data(), "QEL.untrusted-"))
            remove_tree(p);
        if (fs::is_directory(data_root())) {
            for (const std::string& p : named(data_root(), "runtime.untrusted-"))
                remove_tree(p);
        }
    }
    // Under the target of whichever claim came first: the one at start, or a request's.
    bool warned_moved(const std::string& folder, const std::string& aside_prefix) const {
        const auto quoted = [](const std::string& text) {
            return std::regex_replace(text, std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)");
        };
        const std::regex warned(" WARN qel_agent::[a-z_:]+: " +
                                quoted("data folder: " + folder +
                                       " is not the agent's own (S-1-1-0 may change it); moved "
                                       "it aside to " +
                                       aside_prefix));
        return std::regex_search(agent_->proc().out(), warned);
    }
};

TEST_F(DataFolder, AWorldWritableDataFolderIsMovedAsideWholeAndNeverUsed) {
    remove_tree(data_root());
    const Outside outside("link-targets");
    plant_folder(data_root());
    plant_folder(runtime_dir());
    plant_folder(data_root() + "/logs");
    plant_file(data_root() + "/planted.txt", "planted");
    plant_folder(data_root() + "/planted-folder");
    plant_file(data_root() + "/planted-folder/inside", "planted inside");
    // Links at the agent's own file names, to files elsewhere.
    fs::create_symlink(outside.file("a"), runtime_dir() + "/config.json.tmp");
    fs::create_symlink(outside.file("b"), runtime_dir() + "/kill-switch.json.tmp");
    fs::create_symlink(outside.file("c"), runtime_dir() + "/kill-switch.json.lock");
    fs::create_symlink(outside.file("d"), runtime_dir() + "/config.json");
    const std::map<std::string, std::string> planted = tree(data_root());

    ASSERT_NO_FATAL_FAILURE(start_agent());
    EXPECT_EQ(request(kConnect).rfind(R"({"ok":true,"result":{"profile_hash":")", 0), 0u);
    EXPECT_EQ(request(kEngage).rfind(R"({"ok":true,"result":{"engaged":true)", 0), 0u);
    EXPECT_EQ(request(R"({"method":"disconnect"})"), R"({"ok":true,"result":{"ok":true}})");

    const std::vector<std::string> aside = named(program_data(), "QEL.untrusted-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(tree(aside[0]), planted);
    EXPECT_TRUE(outside.untouched());
    EXPECT_TRUE(warned_moved("C:\\ProgramData\\QEL", "C:\\ProgramData\\QEL.untrusted-"))
        << agent_->proc().out();
    // The agent works in fresh folders that no one else may even read.
    EXPECT_FALSE(fs::exists(data_root() + "/planted.txt"));
    EXPECT_TRUE(fs::is_regular_file(runtime_dir() + "/config.json"));
    EXPECT_TRUE(fs::is_regular_file(runtime_dir() + "/kill-switch.json"));
    EXPECT_EQ(others(data_root()), fs::perms::none);
    EXPECT_EQ(others(runtime_dir()), fs::perms::none);
    EXPECT_EQ(request(R"({"method":"kill_switch_disengage"})"),
              R"({"ok":true,"result":{"engaged":false}})");
}

TEST_F(DataFolder, AWorldWritableRuntimeInAnOwnDataFolderIsMovedAsideAlone) {
    remove_tree(data_root());
    fs::create_directories(data_root());
    std::ofstream(data_root() + "/kept") << "kept";
    const Outside outside("runtime-link-target");
    plant_folder(runtime_dir());
    plant_file(runtime_dir() + "/planted.txt", "planted");
    fs::create_symlink(outside.file("a"), runtime_dir() + "/config.json.tmp");
    const std::map<std::string, std::string> planted = tree(runtime_dir());

    ASSERT_NO_FATAL_FAILURE(start_agent());
    EXPECT_EQ(request(kConnect).rfind(R"({"ok":true,"result":{"profile_hash":")", 0), 0u);
    EXPECT_EQ(request(R"({"method":"disconnect"})"), R"({"ok":true,"result":{"ok":true}})");

    EXPECT_TRUE(named(program_data(), "QEL.").empty());
    const std::vector<std::string> aside = named(data_root(), "runtime.untrusted-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(tree(aside[0]), planted);
    EXPECT_TRUE(outside.untouched());
    EXPECT_EQ(read_file(data_root() + "/kept"), "kept");
    EXPECT_TRUE(
        warned_moved("C:\\ProgramData\\QEL\\runtime", "C:\\ProgramData\\QEL\\runtime.untrusted-"))
        << agent_->proc().out();
    EXPECT_EQ(others(runtime_dir()), fs::perms::none);
}

std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The key of the one sublayer in the filtering double's state file, in upper case.
std::string sublayer_key() {
    for (const std::string& line : lines_of(read_file(fwp_state_file()))) {
        if (line.rfind("sublayer ", 0) == 0)
            return upper(line.substr(9, line.find(' ', 9) - 9));
    }
    return {};
}

// Any account that may read data_root can hold it open, sharing nothing (under Wine any
// process may, whatever its descriptor). Nothing the agent does in its folders waits for, or
// is refused by, such a holder.
TEST_F(DataFolder, AHeldDataRootStopsNeitherConnectNorTheKillSwitchNorItsRecord) {
    ASSERT_NO_FATAL_FAILURE(start_agent());
    ASSERT_EQ(request(kConnect).rfind(R"({"ok":true,"result":{"profile_hash":")", 0), 0u);
    ASSERT_EQ(request(R"({"method":"disconnect"})"), R"({"ok":true,"result":{"ok":true}})");

    auto holder =
        start_windows(tool_exe(), {"hold", "C:\\ProgramData\\QEL"}, {}, /*pipe_stdin=*/true);
    ASSERT_TRUE(holder->wait_out_contains("ready")) << holder->out();
    EXPECT_EQ(request(kConnect).rfind(R"({"ok":true,"result":{"profile_hash":")", 0), 0u);
    EXPECT_EQ(request(R"({"method":"disconnect"})"), R"({"ok":true,"result":{"ok":true}})");
    EXPECT_EQ(request(kEngage).rfind(R"({"ok":true,"result":{"engaged":true)", 0), 0u);
    const std::string key = sublayer_key();
    ASSERT_FALSE(key.empty());
    EXPECT_NE(upper(read_file(runtime_dir() + "/kill-switch.json")).find(key), std::string::npos)
        << read_file(runtime_dir() + "/kill-switch.json");
    EXPECT_EQ(request(R"({"method":"kill_switch_disengage"})"),
              R"({"ok":true,"result":{"engaged":false}})");
    EXPECT_FALSE(fs::exists(runtime_dir() + "/kill-switch.json"));
    holder->close_stdin();
    EXPECT_EQ(holder->wait(), 0);
    const std::string out = agent_->proc().out();
    EXPECT_EQ(out.find(" WARN "), std::string::npos) << out;
}

TEST_F(DataFolder, ALinkInPlaceOfTheRuntimeFolderIsNeverFollowed) {
    const Outside outside("runtime-target");
    fs::create_directories(data_root());
    fs::create_directory_symlink(outside.path(), runtime_dir());
    ASSERT_NO_FATAL_FAILURE(start_agent());

    const std::string refusal =
        R"(refusing C:\\ProgramData\\QEL\\runtime: it is a link (reparse point), not a folder )"
        R"(of the agent's own)";
    EXPECT_EQ(request(kConnect), R"({"ok":false,"error":"write_config: )" + refusal + R"("})");
    // The kill switch still engages and releases; only its record cannot be kept.
    EXPECT_EQ(request(kEngage).rfind(R"({"ok":true,"result":{"engaged":true,)", 0), 0u);
    EXPECT_EQ(request(R"({"method":"kill_switch_disengage"})"),
              R"({"ok":true,"result":{"engaged":false}})");
    EXPECT_TRUE(outside.untouched());
    EXPECT_TRUE(fs::is_symlink(runtime_dir()));
    const std::string out = agent_->proc().out();
    EXPECT_NE(out.find("WARN qel_agent::wfp::controller: kill-switch: cannot write record file "
                       "C:\\ProgramData\\QEL\\runtime\\kill-switch.json: refusing "
                       "C:\\ProgramData\\QEL\\runtime: it is a link"),
              std::string::npos)
        << out;
}

}  // namespace
}  // namespace qel::e2e
