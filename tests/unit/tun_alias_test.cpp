#include <gtest/gtest.h>

#include "sandbox/config/tun_alias.h"

namespace qel::sandbox {
namespace {

TEST(TunAlias, TheFirstTunInboundWithAStringName) {
    // With the document's own object: 127 levels, then 128.
    const std::string deep127 = std::string(126, '[') + std::string(126, ']');
    const std::string deep128 = std::string(127, '[') + std::string(127, ']');
    const std::string tun_a = R"({"inbounds":[{"type":"tun","interface_name":"a"}]})";
    const std::string nul(1, '\0');
    const struct {
        std::string config;
        std::optional<std::string> alias;
    } cases[] = {
        {R"({"inbounds":[{"type":"tun","interface_name":"wg0"}]})", "wg0"},
        {R"({"inbounds":[{"type":"tun"},{"type":"tun","interface_name":"wg0"}]})", "wg0"},
        {R"({"inbounds":[{"type":"mixed","interface_name":"x"},{"type":"tun","interface_name":"t"}]})",
         "t"},
        {R"({"inbounds":[{"type":"TUN","interface_name":"wg0"}]})", std::nullopt},
        {R"({"inbounds":[{"type":"tun","interface_name":5}]})", std::nullopt},
        {R"({"inbounds":[{"type":"tun","interface_name":""}]})", ""},
        {R"({"inbounds":[1,"x",{"type":"tun","interface_name":"a"}]})", "a"},
        {R"({"inbounds":{"type":"tun","interface_name":"wg0"}})", std::nullopt},
        {R"([{"inbounds":[]}])", std::nullopt},
        {R"({})", std::nullopt},
        {" \t\r\n{\"inbounds\":[{\"type\":\"tun\",\"interface_name\":\"a\"}]} \r\n\t", "a"},
        {R"({"inbounds":[{"type":"tun","interface_name":"a"}]} x)", std::nullopt},
        {R"({"inbounds":[{"type":"tun","interface_name":"a"}]}{})", std::nullopt},
        {tun_a + nul + "x", std::nullopt},
        {tun_a + nul, std::nullopt},
        {tun_a + " \r\n" + nul, std::nullopt},
        {tun_a + "\n\t\r ", "a"},
        {"\xEF\xBB\xBF{\"inbounds\":[{\"type\":\"tun\",\"interface_name\":\"a\"}]}", std::nullopt},
        {R"({"inbounds":[{"type":"tun","interface_name":"a"}],"x":)" + deep127 + "}", "a"},
        {R"({"inbounds":[{"type":"tun","interface_name":"a"}],"x":)" + deep128 + "}", std::nullopt},
        {"{\"inbounds\":[{\"type\":\"tun\",\"interface_name\":\"a\xff\"}]}", std::nullopt},
        {"not json", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tun_alias_from_config_text(c.config), c.alias) << c.config;
}

}  // namespace
}  // namespace qel::sandbox
