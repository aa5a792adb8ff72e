#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/hex.h"
#include "common/sha256.h"
#include "sandbox/config/profile_hash.h"

namespace qel::sandbox {
namespace {

using nlohmann::json;

TEST(Sha256, KnownDigests) {
    struct Case {
        std::string bytes;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000, 'a'),
         "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(hex_lower(sha256(c.bytes).value()), c.digest);
}

TEST(ProfileHash, KnownProfiles) {
    struct Case {
        json profile;
        const char* hash;
    };
    const Case cases[] = {
        {json::object(), "44136fa355b3678a"},
        {json(nullptr), "74234e98afe7498f"},
        {json::parse(R"({"b":1,"a":[true,null]})"), "51705a2c9eb3e7e4"},
        {json::parse(R"({"a":[true,null],"b":1})"), "51705a2c9eb3e7e4"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(hash_profile(c.profile).value(), c.hash);
}

TEST(ProfileHash, IntegerAndDoubleDiffer) {
    EXPECT_NE(hash_profile(json(1.0)).value(), hash_profile(json(1)).value());
    EXPECT_EQ(hash_profile(json(1.0)).value().size(), 16u);
}

TEST(ProfileHash, ACryptoFailureIsAnErrorThatNamesTheStep) {
    const Digest failing = [](std::string_view) -> Result<Sha256Digest> {
        return Error("BCryptCreateHash failed: NTSTATUS 0xc0000017");
    };
    const Result<std::string> hashed = hash_profile(json::object(), failing);
    ASSERT_FALSE(hashed.ok());
    EXPECT_EQ(hashed.error().full(), "hash profile: BCryptCreateHash failed: NTSTATUS 0xc0000017");
}

}  // namespace
}  // namespace qel::sandbox
