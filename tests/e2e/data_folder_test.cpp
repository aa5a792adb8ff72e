// The agent's data folder as a folder of its own, with what another account could have put
// there before the agent first ran: world-writable folders and files, links. Wine shows a
// DACL as the unix mode bits ("others" are Everyone) and a unix symbolic link as a link.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "harness.h"

namespace qel::e2e {
namespace {

namespace fs = std::filesystem;

std::string data_root() {
    return prefix_path("C:\\ProgramData\\QEL");
}

void make_world_writable(const std::string& path) {
    fs::permissions(path, fs::perms::all);
}

void plant_folder(const std::string& path) {
    fs::create_directories(path);
    make_world_writable(path);
}

void plant_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::group_write | fs::perms::others_read |
                              fs::perms::others_write);
}

// Everything under `root` that everyone may write, links not followed.
std::vector<std::string> world_writable_under(const std::string& root) {
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        if (lstat(e.path().c_str(), &st) == 0 && !S_ISLNK(st.st_mode) && (st.st_mode & S_IWOTH))
            found.push_back(e.path().string());
    }
    return found;
}

// A folder outside the data folder, where nothing may ever be written.
class Outside {
  public:
    explicit Outside(const std::string& name)
        : path_(fs::temp_directory_path() / ("qel-e2e-" + name + "-" + std::to_string(getpid()))) {
        fs::remove_all(path_);
        fs::create_directories(path_);
        std::ofstream(path_ / "kept") << "kept";
    }
    ~Outside() { fs::remove_all(path_); }
    std::string path() const { return path_.string(); }
    // Only what it held from the start, unchanged.
    bool untouched() const {
        if (!fs::is_directory(path_))
            return false;
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(path_))
            names.push_back(e.path().filename().string());
        return names == std::vector<std::string>{"kept"} && read_file(path() + "/kept") == "kept";
    }

  private:
    fs::path path_;
};

const std::string kConnect = R"({"method":"connect","params":{"profile":{"qel_fake":{}}}})";

class DataFolder : public AgentTest {
  protected:
    void TearDown() override {
        AgentTest::TearDown();
        remove_tree(runtime_dir());
    }
    std::string engage() const {
        return request(R"({"method":"kill_switch_engage","params":{"tun_iface_alias":"lo"}})");
    }
};

TEST_F(DataFolder, WorldWritableFoldersAreTakenOverAndWhatWasPlantedIsRemoved) {
    remove_tree(data_root());
    plant_folder(data_root());
    plant_folder(runtime_dir());
    plant_folder(data_root() + "/logs");
    plant_file(runtime_dir() + "/kill-switch.json.lock", "planted");
    plant_file(runtime_dir() + "/config.json.tmp", "planted");
    plant_file(runtime_dir() + "/planted.txt", "planted");
    plant_folder(data_root() + "/planted-folder");
    plant_file(data_root() + "/planted-folder/inside", "planted");
    const Outside outside("link-target");
    fs::create_directory_symlink(outside.path(), data_root() + "/link-out");

    ASSERT_NO_FATAL_FAILURE(start_agent());
    EXPECT_EQ(request(kConnect).rfind(R"({"ok":true,"result":{"profile_hash":")", 0), 0u);
    EXPECT_EQ(engage().rfind(R"({"ok":true,"result":{"engaged":true)", 0), 0u);
    EXPECT_EQ(request(R"({"method":"disconnect"})"), R"({"ok":true,"result":{"ok":true}})");

    EXPECT_EQ(world_writable_under(data_root()), std::vector<std::string>{});
    for (const char* gone : {"/runtime/kill-switch.json.lock", "/runtime/config.json.tmp",
                             "/runtime/planted.txt", "/planted-folder"}) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(data_root() + gone))) << gone;
    }
    // A link is neither followed nor removed (Wine would remove its target instead).
    EXPECT_TRUE(fs::is_symlink(data_root() + "/link-out"));
    EXPECT_TRUE(outside.untouched());
    EXPECT_FALSE(read_file(runtime_dir() + "/kill-switch.json").empty());
    const std::string out = agent_->proc().out();
    for (const char* name : {"runtime\\planted.txt: S-1-1-0 may change it",
                             "runtime\\kill-switch.json.lock: S-1-1-0 may change it",
                             "planted-folder: S-1-1-0 may change it"}) {
        EXPECT_NE(out.find(std::string(" WARN qel_agent::service: data folder: removed "
                                       "C:\\ProgramData\\QEL\\") +
                           name + "\n"),
                  std::string::npos)
            << name << "\n"
            << out;
    }
    EXPECT_NE(out.find(" WARN qel_agent::service: data folder: leaving "
                       "C:\\ProgramData\\QEL\\link-out alone: it is a link, and the agent "
                       "never follows it\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(request(R"({"method":"kill_switch_disengage"})"),
              R"({"ok":true,"result":{"engaged":false}})");
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
    EXPECT_EQ(engage().rfind(R"({"ok":true,"result":{"engaged":true,)", 0), 0u);
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
