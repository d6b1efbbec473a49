#include "host/config_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "common/paths.h"

namespace lenvaro {
namespace {

class ConfigFile : public ::testing::Test {
protected:
    std::string write(const std::string& xml) {
        std::ofstream(path()) << xml;
        return path();
    }
    std::string path() const { return dir_.file("exeCfg.xml"); }

    int portOf(const std::string& xml, bool* found = nullptr) {
        int port = -7;
        const bool ok = ConfigReader().readPort(write(xml), port);
        if (found != nullptr) *found = ok;
        return port;
    }

    ScratchDirectory dir_;
};

TEST_F(ConfigFile, ReadsThePortInsideExeInfo) {
    bool found = false;
    EXPECT_EQ(portOf("<?xml version=\"1.0\"?><exeInfo><port>9123</port></exeInfo>", &found), 9123);
    EXPECT_TRUE(found);
    EXPECT_EQ(portOf("<exeInfo>\n  <port>  8081 \n</port></exeInfo>"), 8081);
    EXPECT_EQ(portOf("<!-- c --><exeInfo><other>1</other><port>9001</port></exeInfo>"), 9001);
}

TEST_F(ConfigFile, ReadsNumbersAsAtolDoes) {
    EXPECT_EQ(portOf("<exeInfo><port>abc</port></exeInfo>"), 0);
    EXPECT_EQ(portOf("<exeInfo><port>123abc</port></exeInfo>"), 123);
    EXPECT_EQ(portOf("<exeInfo><port>-5</port></exeInfo>"), -5);
    EXPECT_EQ(portOf("<exeInfo><port>+70000</port></exeInfo>"), 70000);
}

TEST_F(ConfigFile, FallsBackTo9000WhenNothingCanBeRead) {
    bool found = true;
    int port = 0;
    EXPECT_FALSE(ConfigReader().readPort(dir_.file("missing.xml"), port));
    EXPECT_EQ(port, 9000);
    EXPECT_EQ(portOf("<exeInfo><port>9001</port>", &found), 9000);  // not well-formed
    EXPECT_FALSE(found);
    EXPECT_EQ(portOf("<port>9001</port>"), 9000);                     // not inside exeInfo
    EXPECT_EQ(portOf("<exeInfo><port></port></exeInfo>"), 9000);      // no text
    EXPECT_EQ(portOf("<exeInfo><port><n>1</n></port></exeInfo>"), 9000);
    EXPECT_EQ(portOf("<exeInfo></exeInfo><exeInfo><port>9001</port></exeInfo>"), 9000);
}

TEST_F(ConfigFile, OnlyTheFirstExeInfoCounts) {
    EXPECT_EQ(portOf("<exeInfo><port>9001</port></exeInfo><exeInfo><port>9002</port></exeInfo>"), 9001);
}

TEST_F(ConfigFile, ListenSettingsCutThePortAndWarn) {
    std::string warnings;
    write("<exeInfo><port>70000</port></exeInfo>");
    ListenSettings settings = readListenSettings(path(), warnings);
    EXPECT_EQ(settings.port, 4464);
    EXPECT_EQ(settings.address, "127.0.0.1");
    EXPECT_NE(warnings.find("outside 1-65535"), std::string::npos);

    warnings.clear();
    write("<exeInfo><port>9000</port></exeInfo>");
    settings = readListenSettings(path(), warnings);
    EXPECT_EQ(settings.port, 9000);
    EXPECT_EQ(warnings, "");

    write("<exeInfo><port>abc</port></exeInfo>");
    EXPECT_EQ(readListenSettings(path(), warnings).port, 0);  // the system picks a port
}

TEST_F(ConfigFile, ListenAddressDefaultsToLoopback) {
    std::string warnings;
    write("<exeInfo><port>9000</port><listenAddress> 0.0.0.0 </listenAddress></exeInfo>");
    EXPECT_EQ(readListenSettings(path(), warnings).address, "0.0.0.0");
    EXPECT_EQ(warnings, "");

    write("<exeInfo><port>9000</port><listenAddress>::1</listenAddress></exeInfo>");
    EXPECT_EQ(readListenSettings(path(), warnings).address, "127.0.0.1");
    EXPECT_NE(warnings.find("not an IPv4 address"), std::string::npos);

    warnings.clear();
    EXPECT_EQ(readListenSettings(dir_.file("missing.xml"), warnings).address, "127.0.0.1");
    EXPECT_EQ(readListenSettings(dir_.file("missing.xml"), warnings).port, 9000);
}

TEST(ConfigurationPath, PrefersCfgBesideTheExecutableThenTheInstalledTree) {
    ScratchDirectory root;
    const std::string bin = root.file("bin");
    ASSERT_EQ(mkdir(bin.c_str(), 0700), 0);
    EXPECT_EQ(configurationPath(bin), bin + "/cfg/exeCfg.xml");  // neither exists

    ASSERT_EQ(mkdir(root.file("cfg").c_str(), 0700), 0);
    std::ofstream(root.file("cfg/exeCfg.xml")) << "<exeInfo/>";
    EXPECT_EQ(configurationPath(bin), bin + "/../cfg/exeCfg.xml");

    ASSERT_EQ(mkdir((bin + "/cfg").c_str(), 0700), 0);
    std::ofstream(bin + "/cfg/exeCfg.xml") << "<exeInfo/>";
    EXPECT_EQ(configurationPath(bin), bin + "/cfg/exeCfg.xml");
}

}  // namespace
}  // namespace lenvaro
