// A cfg/simulator.json the built-in library cannot use, through the real executable: the file
// and the problem are told on standard error and in the day's log, and the service runs with the
// built-in defaults instead of losing every device.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdlib>

#include "server_process.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

// The one log file in <tmp>/Lenvaro1, "" when there is none or more.
std::string dayLog(const ServerProcess& server) {
    std::vector<std::string> names;
    if (DIR* dir = opendir((server.tmp() + "/Lenvaro1").c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        closedir(dir);
    }
    return names.size() == 1 ? readWholeFile(server.tmp() + "/Lenvaro1/" + names[0]) : "";
}

TEST(ConfigProblems, ANestedConfigurationIsToldAndTheDefaultsServe) {
    std::string nested;
    for (int i = 0; i < 5000; ++i) nested += R"({"cameras":)";
    nested += "{}" + std::string(5000, '}');
    ServerProcess::Options options;
    options.simulatorJson = nested;
    options.environment["LC_ALL"] = "C.UTF-8";
    ServerProcess server(options);
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();

    // The defaults serve: the two simulated cameras at least (real ones of this computer may
    // come first). A library that failed to start would answer no device at all.
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    const std::string prefix = R"({"FuncName":"camGetDevCount","result":")";
    const std::string count = page.roundTrip(R"({"FuncName":"camGetDevCount"})").value_or("");
    ASSERT_EQ(count.rfind(prefix, 0), 0u) << count;
    EXPECT_GE(std::atoi(count.c_str() + prefix.size()), 2) << count;

    const std::string path = server.root().file("bin/../cfg/simulator.json");
    const std::string errors = server.standardError();
    EXPECT_NE(errors.find("pictavo: ignoring " + path + " ("), std::string::npos) << errors;
    EXPECT_NE(errors.find("); using defaults"), std::string::npos) << errors;
    const std::string log = dayLog(server);
    EXPECT_NE(log.find(": pictavo: ignoring " + path + " ("), std::string::npos) << log;
    EXPECT_NE(log.find("打开日志"), std::string::npos) << "the log opens with its banner, as always";
}

}  // namespace
}  // namespace lenvaro::testing
