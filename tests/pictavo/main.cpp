// Runs the library's tests with a configuration that attaches no device, whatever simulated
// devices a configuration beside the test executable might describe.
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    setenv("PICTAVO_CONFIG", PICTAVO_TEST_DATA "/no_devices.json", 1);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
