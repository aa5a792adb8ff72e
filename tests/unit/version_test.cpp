#include <gtest/gtest.h>

#include "common/version.h"

namespace qel {
namespace {

// Generated from project() in CMakeLists.txt: the version line, the start-up lines and the
// "version" method all show this one value.
TEST(Version, IsTheProjectVersion) {
    EXPECT_EQ(kAgentVersion, "0.1.1");
    EXPECT_EQ(kVersionLine, "QEL.Agent 0.1.1");
}

}  // namespace
}  // namespace qel
