#include <gtest/gtest.h>

#include "common/json_text.h"
#include "methods/state_snapshot.h"

namespace qel::methods {
namespace {

using namespace std::chrono_literals;

TEST(StateSnapshot, EveryVariantAsItsObject) {
    const MonoTime t0 = std::chrono::steady_clock::now();
    const struct {
        ConnectionState state;
        MonoTime now;
        std::string json;
    } cases[] = {
        {Idle{}, t0, R"({"state":"idle"})"},
        {Connecting{t0, ""}, t0 + 5s, R"({"profile_hash":"","state":"connecting"})"},
        {Connected{t0, "0123456789abcdef"}, t0 + 2999ms,
         R"({"profile_hash":"0123456789abcdef","state":"connected","uptime_s":2})"},
        {Connected{t0, "h"}, t0, R"({"profile_hash":"h","state":"connected","uptime_s":0})"},
        {Disconnecting{}, t0, R"({"state":"disconnecting"})"},
        {Failed{t0, "write_config: denied"}, t0,
         R"({"reason":"write_config: denied","state":"failed"})"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(to_compact(state_snapshot(c.state, c.now)), c.json);
}

}  // namespace
}  // namespace qel::methods
