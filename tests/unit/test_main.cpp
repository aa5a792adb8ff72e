#include <gtest/gtest.h>

#include "log_capture.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    qel::test::install_log_capture();
    return RUN_ALL_TESTS();
}
