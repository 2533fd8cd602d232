// Test main for the tests that need the programs' own paths: every test
// process runs in its own sandbox root.
#include <gtest/gtest.h>

#include "sandbox.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!testing::GTEST_FLAG(list_tests)) sandbox_enter();
    return RUN_ALL_TESTS();
}
