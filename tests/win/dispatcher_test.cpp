// The dispatcher against the real methods, with the kill switch over the fwpuclnt double and
// neither a sing-box configuration nor a sing-box.exe to be found.

#include <gtest/gtest.h>

#include <filesystem>

#include "ipc/request.h"
#include "methods/dispatcher.h"
#include "sandbox/config/config_file.h"
#include "sandbox/config/singbox_lookup.h"
#include "wfp_fixture.h"

namespace qel::methods {
namespace {

using ipc::decode_request;
using ipc::encode_response_line;
using ipc::Request;
using ipc::Response;

namespace fwp = test::fwp;

class Dispatch : public test::WfpTest {
  protected:
    // The reply line to one request line (decoded and encoded as the connection does).
    std::string reply_to(const std::string& line) {
        Result<Request> request = decode_request(line);
        EXPECT_TRUE(request.ok()) << line;
        if (!request)
            return "";
        Response reply = run(dispatch(std::move(request).value(), handles));
        std::string text = encode_response_line(reply);
        text.pop_back();  // the line feed
        return text;
    }

    Handles handles{std::make_shared<ConnState>(Idle{}), std::make_shared<sandbox::Sandbox>(),
                    std::make_shared<wfp::KillSwitchController>()};
    test::ScopedEnv no_override{L"QEL_SINGBOX_EXE", std::nullopt};
    test::ScopedEnv no_program_files{L"ProgramFiles", std::nullopt};
};

TEST_F(Dispatch, OnlyExactNamesAreMethodsAndEveryReplyCarriesTheId) {
    const struct {
        const char* request;
        const char* reply;
    } cases[] = {
        {R"({"id":1,"method":"ping"})", R"({"id":1,"ok":true,"result":"pong"})"},
        {R"({"id":1,"method":"Ping"})", R"({"id":1,"ok":false,"error":"unknown method: Ping"})"},
        {R"({"id":"abc","method":" ping"})",
         R"({"id":"abc","ok":false,"error":"unknown method:  ping"})"},
        {R"({"id":[2],"method":"ping "})",
         R"({"id":[2],"ok":false,"error":"unknown method: ping "})"},
        {R"({"method":"pingx"})", R"({"ok":false,"error":"unknown method: pingx"})"},
        {R"({"method":"pin"})", R"({"ok":false,"error":"unknown method: pin"})"},
        {R"({"method":""})", R"({"ok":false,"error":"unknown method: "})"},
        {R"({"id":{"b":1,"a":2},"method":"VERSION"})",
         R"({"id":{"a":2,"b":1},"ok":false,"error":"unknown method: VERSION"})"},
        {R"({"method":"kill_switch_engaged"})",
         R"({"ok":false,"error":"unknown method: kill_switch_engaged"})"},
        // The connection answers "auth" itself; handed over, it is no method.
        {R"({"id":3,"method":"auth","params":{"token":"x"}})",
         R"({"id":3,"ok":false,"error":"unknown method: auth"})"},
        {R"({"id":4,"method":"version"})", R"({"id":4,"ok":true,"result":{"agent":"0.1.1"}})"},
        {R"({"id":5,"method":"logs"})", R"({"id":5,"ok":true,"result":{"lines":[]}})"},
        {R"({"id":6,"method":"Logs"})", R"({"id":6,"ok":false,"error":"unknown method: Logs"})"},
        {R"({"method":"logs "})", R"({"ok":false,"error":"unknown method: logs "})"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(reply_to(c.request), c.reply) << c.request;
    EXPECT_TRUE(fwp::journal().empty());
    EXPECT_TRUE(test::captured_events().empty());
}

TEST_F(Dispatch, AFailedEngageRepliesWithTheIdAndTheErrorAfterItsWarning) {
    EXPECT_EQ(
        reply_to(R"({"id":"abc","method":"kill_switch_engage","params":{"singbox_path":""}})"),
        R"({"id":"abc","ok":false,"error":"permit-app: file does not exist: "})");
    const auto events = test::captured_events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().level, "WARN");
    EXPECT_EQ(events.back().target, "qel_agent::ipc");
    EXPECT_EQ(events.back().message,
              "kill_switch_engage failed: permit-app: file does not exist: ");
    EXPECT_EQ(reply_to(R"({"id":5,"method":"kill_switch_status"})"),
              R"({"id":5,"ok":true,"result":{"engaged":false}})");
}

TEST_F(Dispatch, AnEngageWithNeitherConfigurationNorSingBoxHasNoPathAndNoAlias) {
    ASSERT_FALSE(std::filesystem::exists(sandbox::config_path()));
    ASSERT_FALSE(sandbox::find_singbox_exe().ok()) << "a sing-box.exe beside the test program";
    EXPECT_EQ(
        reply_to(R"({"id":1,"method":"kill_switch_engage"})"),
        R"({"id":1,"ok":true,"result":{"engaged":true,"singbox_path":null,"tun_iface_alias":null}})");
    EXPECT_EQ(test::installed_names(),
              (std::vector<std::string>{"QEL permit loopback (v4)", "QEL permit loopback (v6)",
                                        "QEL block-all (v4)", "QEL block-all (v6)"}));
    EXPECT_EQ(reply_to(R"({"method":"kill_switch_status"})"),
              R"({"ok":true,"result":{"engaged":true}})");
    EXPECT_EQ(reply_to(R"({"id":2,"method":"kill_switch_disengage"})"),
              R"({"id":2,"ok":true,"result":{"engaged":false}})");
    EXPECT_TRUE(test::installed_names().empty());
}

}  // namespace
}  // namespace qel::methods
