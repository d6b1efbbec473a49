// The allowedOrigin settings of cfg/exeCfg.xml.
#include <gtest/gtest.h>

#include <fstream>

#include "common/paths.h"
#include "host/config_reader.h"

namespace lenvaro {
namespace {

class AllowedOriginsConfig : public ::testing::Test {
protected:
    ListenSettings settingsOf(const std::string& xml) {
        std::ofstream(path()) << xml;
        warnings_.clear();
        return readListenSettings(path(), warnings_);
    }
    std::string path() const { return dir_.file("exeCfg.xml"); }

    ScratchDirectory dir_;
    std::string warnings_;
};

TEST_F(AllowedOriginsConfig, EveryElementInsideTheFirstExeInfoIsReadInOrder) {
    const ListenSettings settings = settingsOf(
        "<exeInfo><port>9000</port>"
        "<allowedOrigin>https://bank.example</allowedOrigin>"
        "<!-- <allowedOrigin>https://commented.example</allowedOrigin> -->"
        "<allowedOrigin> http://localhost:8080/ </allowedOrigin>"
        "</exeInfo>"
        "<allowedOrigin>https://outside.example</allowedOrigin>"
        "<exeInfo><allowedOrigin>https://second.example</allowedOrigin></exeInfo>");
    EXPECT_EQ(settings.allowedOrigins,
              (std::vector<std::string>{"https://bank.example", "http://localhost:8080/"}));
    EXPECT_EQ(warnings_, "");
}

TEST_F(AllowedOriginsConfig, NoneMeansEveryOrigin) {
    EXPECT_TRUE(settingsOf("<exeInfo><port>9000</port></exeInfo>").allowedOrigins.empty());
    EXPECT_TRUE(settingsOf("not xml").allowedOrigins.empty());
    warnings_.clear();
    EXPECT_TRUE(readListenSettings(dir_.file("missing.xml"), warnings_).allowedOrigins.empty());
}

TEST_F(AllowedOriginsConfig, AnEntryThatIsNoOriginIsKeptAndReported) {
    // Kept, so that the list still restricts: a typo must not open the service to every page.
    const ListenSettings settings = settingsOf(
        "<exeInfo><allowedOrigin>bank.example</allowedOrigin><allowedOrigin/>"
        "<allowedOrigin>https://bank.example/app</allowedOrigin></exeInfo>");
    EXPECT_EQ(settings.allowedOrigins, (std::vector<std::string>{"bank.example", "", "https://bank.example/app"}));
    EXPECT_NE(warnings_.find("allowedOrigin \"bank.example\""), std::string::npos) << warnings_;
    EXPECT_NE(warnings_.find("allowedOrigin \"\""), std::string::npos) << warnings_;
    EXPECT_NE(warnings_.find("allowedOrigin \"https://bank.example/app\""), std::string::npos) << warnings_;
}

}  // namespace
}  // namespace lenvaro
