// Runs the library's tests with a configuration that attaches no device, whatever simulated
// devices a configuration beside the test executable might describe; no real camera, smart
// card reader or USB ID card reader, whatever this computer has; and a home folder of their own: the user's fonts,
// settings and signing key neither change what the tests see nor are changed by them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    setenv("PICTAVO_CONFIG", PICTAVO_TEST_DATA "/no_devices.json", 1);
    setenv("PICTAVO_V4L2_ROOT", PICTAVO_TEST_DATA "/no-such-device-root", 1);
    setenv("PCSCLITE_CSOCK_NAME", PICTAVO_TEST_DATA "/no-such-pcscd/pcscd.comm", 1);
    setenv("PICTAVO_USB", "off", 1);
    const char* tmp = std::getenv("TMPDIR");
    std::string home = std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/pictavo-tests-XXXXXX";
    if (mkdtemp(home.data()) == nullptr) {
        perror("pictavo_tests: cannot make a home folder");
        return 1;
    }
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return status;
}
