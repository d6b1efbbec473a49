// Reading cfg/simulator.json: where it is looked for, what is accepted, and what a bad file
// leaves behind (the defaults and one line of explanation).
#include "pictavo/config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>

#include "scoped_environment.h"
#include "temp_dir.h"

namespace {

using pictavo::ConfigResult;
using pictavo::kFamilyNames;
using pictavo::loadConfig;
using pictavo::locateConfig;
using State = pictavo::ConfigResult::State;
using pictavo_test::TempDir;

void expectDefaults(const ConfigResult& result) {
    EXPECT_TRUE(result.config.document.isObject());
    EXPECT_EQ(result.config.document.size(), 0u);
    for (const char* family : kFamilyNames) EXPECT_TRUE(result.config.familyEnabled(family));
}

std::string reportOf(const ConfigResult& result) {
    std::ostringstream out;
    pictavo::reportConfig(result, out);
    return out.str();
}

TEST(LoadConfig, AMissingFileGivesTheDefaults) {
    TempDir dir;
    const ConfigResult result = loadConfig(dir.file("simulator.json"));
    EXPECT_EQ(result.state, State::kMissing);
    expectDefaults(result);
    EXPECT_EQ(loadConfig("").state, State::kMissing);
}

TEST(LoadConfig, AValidFileIsKeptWhole) {
    TempDir dir;
    const std::string path = dir.write("simulator.json", R"({
        // Comments are allowed.
        "families": {"camera": false, "signpad": true},
        "scanners": [{"name": "Desk scanner"}]
    })");
    const ConfigResult result = loadConfig(path);
    ASSERT_EQ(result.state, State::kLoaded) << result.error;
    EXPECT_FALSE(result.config.familyEnabled("camera"));
    EXPECT_TRUE(result.config.familyEnabled("signpad"));
    EXPECT_TRUE(result.config.familyEnabled("cards")) << "families not named stay enabled";
    EXPECT_EQ(result.config.document["scanners"][0]["name"].asString(), "Desk scanner")
        << "sections the library does not read yet are kept for the families";
}

TEST(LoadConfig, AMalformedFileGivesTheDefaultsAndOneLineOfReason) {
    TempDir dir;
    const std::string documents[] = {
        "",
        "{",
        R"({"families": {"camera": false}} trailing)",
        R"({"families": {"camera": false}, "families": {}})",
        "[1, 2]",
        R"({"families": ["camera"]})",
        R"({"families": {"camera": 0}})",
        R"({"families": {"camera": false, "scanner": false}})",
        // Nested deeper than the JSON reader goes: it throws instead of failing.
        std::string(5000, '[') + std::string(5000, ']'),
        [] {
            std::string deep;
            for (int i = 0; i < 3000; ++i) deep += R"({"a":)";
            return deep + "1" + std::string(3000, '}');
        }(),
    };
    for (const std::string& document : documents) {
        SCOPED_TRACE(document);
        const ConfigResult result = loadConfig(dir.write("simulator.json", document));
        EXPECT_EQ(result.state, State::kMalformed);
        EXPECT_FALSE(result.error.empty());
        EXPECT_EQ(result.error.find('\n'), std::string::npos);
        expectDefaults(result);
    }
}

TEST(LoadConfig, ADirectoryInPlaceOfTheFileIsMalformed) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "simulator.json");
    const ConfigResult result = loadConfig(dir.file("simulator.json"));
    EXPECT_EQ(result.state, State::kMalformed);
    expectDefaults(result);
}

TEST(LocateConfig, LooksBesideTheExecutableThenOneLevelUp) {
    TempDir dir;
    const std::string bin = (dir.path() / "bin").string();
    std::filesystem::create_directories(bin);
    EXPECT_EQ(locateConfig(nullptr, bin), "");

    const std::string upper = dir.write("cfg/simulator.json", "{}");
    EXPECT_TRUE(std::filesystem::equivalent(locateConfig(nullptr, bin), upper));

    const std::string beside = dir.write("bin/cfg/simulator.json", "{}");
    EXPECT_EQ(locateConfig(nullptr, bin), beside);
    EXPECT_EQ(locateConfig("", bin), beside) << "an empty variable counts as unset";
}

TEST(LocateConfig, TheEnvironmentVariableWinsEvenWhenItsFileIsMissing) {
    TempDir dir;
    dir.write("bin/cfg/simulator.json", "{}");
    EXPECT_EQ(locateConfig("/nowhere/mine.json", (dir.path() / "bin").string()),
              "/nowhere/mine.json");
}

TEST(ExecutableDirectory, IsTheDirectoryOfThisTestProgram) {
    const std::string dir = pictavo::executableDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_TRUE(std::filesystem::equivalent(
        std::filesystem::path(dir), std::filesystem::read_symlink("/proc/self/exe").parent_path()));
}

TEST(ReadConfig, ReadsTheFileNamedByPictavoConfig) {
    TempDir dir;
    const std::string path = dir.write("mine.json", R"({"families": {"upload": false}})");
    lenvaro::testing::ScopedEnvironment variable("PICTAVO_CONFIG", path);
    const ConfigResult result = pictavo::readConfig();
    EXPECT_EQ(result.state, State::kLoaded);
    EXPECT_EQ(result.path, path);
    EXPECT_TRUE(result.fromEnvironment);
    EXPECT_FALSE(result.config.familyEnabled("upload"));
    EXPECT_EQ(reportOf(result), "") << "a good file is read silently";
}

TEST(ReadConfig, AMalformedFileIsReportedOnOneLine) {
    TempDir dir;
    const std::string path = dir.write("mine.json", "{\"families\": ");
    lenvaro::testing::ScopedEnvironment variable("PICTAVO_CONFIG", path);
    const ConfigResult result = pictavo::readConfig();
    EXPECT_EQ(result.state, State::kMalformed);
    expectDefaults(result);
    const std::string report = reportOf(result);
    EXPECT_NE(report.find(path), std::string::npos) << report;
    EXPECT_EQ(report.find('\n'), report.size() - 1) << "exactly one line: " << report;
}

TEST(ReadConfig, AMissingFileNamedByTheVariableIsReportedButAMissingDefaultIsNot) {
    TempDir dir;
    const std::string path = dir.file("absent.json");
    lenvaro::testing::ScopedEnvironment variable("PICTAVO_CONFIG", path);
    const ConfigResult result = pictavo::readConfig();
    EXPECT_EQ(result.state, State::kMissing);
    expectDefaults(result);
    const std::string report = reportOf(result);
    EXPECT_NE(report.find(path), std::string::npos) << report;
    EXPECT_EQ(report.find('\n'), report.size() - 1) << report;

    ConfigResult defaultMissing;
    EXPECT_EQ(reportOf(defaultMissing), "");
}

}  // namespace
