// The browser policy command over policy folders of a scratch directory: what it writes, what it
// refuses, and that it never touches another file of the folders.
#include "host/browser_policy.h"

#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "common/paths.h"
#include "test_files.h"

namespace lenvaro {
namespace {

using lenvaro::testing::readWholeFile;

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

TEST(BrowserPolicyOrigins, AreCanonicalAndUniqueInTheOrderWritten) {
    const PolicyOrigins checked =
        policyOriginsFrom({" HTTPS://Counter.Bank.Example/ ", "http://intranet.example:8080",
                           "https://counter.bank.example"});
    EXPECT_EQ(checked.error, "");
    EXPECT_EQ(checked.origins, (std::vector<std::string>{"https://counter.bank.example",
                                                         "http://intranet.example:8080"}));
}

TEST(BrowserPolicyOrigins, RefuseAnEmptyListAndAnyEntryNoPolicyCanName) {
    EXPECT_NE(policyOriginsFrom({}).error.find("no allowedOrigin"), std::string::npos);
    const struct {
        const char* setting;
        const char* why;
    } refused[] = {
        {"*", "wildcard"},
        {"https://*.bank.example", "wildcard"},
        {"", "not an origin"},
        {"bank.example", "not an origin"},
        {"https://bank.example/app", "not an origin"},
        {"null", "opened from files"},
        {"ws://bank.example", "not the origin of a web page"},
    };
    for (const auto& entry : refused) {
        // One bad entry refuses the whole list, good ones beside it included.
        const PolicyOrigins checked = policyOriginsFrom({"https://good.example", entry.setting});
        EXPECT_NE(checked.error.find(entry.why), std::string::npos)
            << entry.setting << ": " << checked.error;
        EXPECT_TRUE(checked.origins.empty()) << entry.setting;
    }
}

TEST(BrowserPolicyText, ListsEveryOriginAndMarksPlainHttpOnesAsSecure) {
    Json::Value root;
    std::istringstream text(browserPolicyText({"https://a.example", "http://b.example:8080"}));
    std::string errors;
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), text, &root, &errors)) << errors;
    EXPECT_EQ(root[kLocalNetworkAccessPolicy].size(), 2u);
    EXPECT_EQ(root[kLocalNetworkAccessPolicy][0].asString(), "https://a.example");
    EXPECT_EQ(root[kLocalNetworkAccessPolicy][1].asString(), "http://b.example:8080");
    ASSERT_EQ(root[kInsecureOriginPolicy].size(), 1u);
    EXPECT_EQ(root[kInsecureOriginPolicy][0].asString(), "http://b.example:8080");
    // HTTPS pages alone need no second policy.
    EXPECT_EQ(browserPolicyText({"https://a.example"}).find(kInsecureOriginPolicy),
              std::string::npos);
}

class BrowserPolicyCommand : public ::testing::Test {
  protected:
    BrowserPolicyCommand() {
        setup_.configPath = dir_.file("exeCfg.xml");
        setup_.folders = {{"Chromium", dir_.file("etc/chromium/policies/managed")},
                          {"Google Chrome", dir_.file("etc/opt/chrome/policies/managed")}};
        setup_.privileged = true;
        configure({"https://counter.bank.example"});
    }

    void configure(const std::vector<std::string>& origins) {
        std::ofstream config(setup_.configPath);
        config << "<exeInfo><port>9000</port>";
        for (const std::string& origin : origins)
            config << "<allowedOrigin>" << origin << "</allowedOrigin>";
        config << "</exeInfo>";
    }

    int run(BrowserPolicyAction action) {
        out_.str("");
        err_.str("");
        return runBrowserPolicy(action, setup_, out_, err_);
    }

    std::string ourFile(size_t folder) const {
        return setup_.folders[folder].path + "/" + kBrowserPolicyFileName;
    }

    ScratchDirectory dir_;
    BrowserPolicySetup setup_;
    std::ostringstream out_;
    std::ostringstream err_;
};

TEST_F(BrowserPolicyCommand, InstallWritesEveryFolderAndRemoveTakesOnlyOurFileAway) {
    // Another administrator's file in one folder, setting the same policy.
    ASSERT_EQ(system(("mkdir -p " + setup_.folders[0].path).c_str()), 0);
    const std::string theirs = setup_.folders[0].path + "/site.json";
    const std::string theirText =
        R"({"LocalNetworkAccessAllowedForUrls": ["https://other.example"]})";
    std::ofstream(theirs) << theirText;

    ASSERT_EQ(run(BrowserPolicyAction::Install), 0) << err_.str();
    const std::string expected = browserPolicyText({"https://counter.bank.example"});
    for (size_t folder = 0; folder < setup_.folders.size(); ++folder) {
        EXPECT_EQ(readWholeFile(ourFile(folder)), expected);
        struct stat info {};
        ASSERT_EQ(::stat(ourFile(folder).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0644u) << "browsers read policies as any user";
        EXPECT_NE(out_.str().find("Wrote " + ourFile(folder)), std::string::npos) << out_.str();
    }
    EXPECT_EQ(readWholeFile(theirs), theirText);
    EXPECT_NE(out_.str().find(theirs + " sets LocalNetworkAccessAllowedForUrls"), std::string::npos)
        << out_.str();

    ASSERT_EQ(run(BrowserPolicyAction::Show), 0);
    EXPECT_NE(out_.str().find("installed, as the configuration says"), std::string::npos)
        << out_.str();
    configure({"https://counter.bank.example", "http://intranet.example"});
    ASSERT_EQ(run(BrowserPolicyAction::Show), 0);
    EXPECT_NE(out_.str().find("differs from the configuration"), std::string::npos) << out_.str();
    EXPECT_NE(out_.str().find("plain HTTP"), std::string::npos) << out_.str();

    ASSERT_EQ(run(BrowserPolicyAction::Remove), 0) << err_.str();
    EXPECT_FALSE(exists(ourFile(0)));
    EXPECT_FALSE(exists(ourFile(1)));
    EXPECT_EQ(readWholeFile(theirs), theirText);
    ASSERT_EQ(run(BrowserPolicyAction::Remove), 0) << err_.str();
    EXPECT_NE(out_.str().find("No policy file at " + ourFile(0)), std::string::npos) << out_.str();
    // Nothing of ours is left behind, hidden files included.
    EXPECT_EQ(system(("test -z \"$(ls -A " + setup_.folders[1].path + ")\"").c_str()), 0);
}

TEST_F(BrowserPolicyCommand, ChangesNeedRootAndSayItShowDoesNot) {
    setup_.privileged = false;
    for (BrowserPolicyAction action : {BrowserPolicyAction::Install, BrowserPolicyAction::Remove}) {
        EXPECT_EQ(run(action), 1);
        EXPECT_NE(err_.str().find("must run as root"), std::string::npos) << err_.str();
    }
    EXPECT_FALSE(exists(setup_.folders[0].path));
    EXPECT_EQ(run(BrowserPolicyAction::Show), 0);
    EXPECT_NE(out_.str().find("not installed"), std::string::npos) << out_.str();
}

TEST_F(BrowserPolicyCommand, ARefusedListLeavesAnInstalledPolicyAsItWas) {
    ASSERT_EQ(run(BrowserPolicyAction::Install), 0) << err_.str();
    const std::string installed = readWholeFile(ourFile(0));
    for (const std::vector<std::string>& origins :
         {std::vector<std::string>{},
          std::vector<std::string>{"https://counter.bank.example", "*"}}) {
        configure(origins);
        EXPECT_EQ(run(BrowserPolicyAction::Install), 1);
        EXPECT_NE(err_.str().find("no browser policy written"), std::string::npos) << err_.str();
        EXPECT_EQ(readWholeFile(ourFile(0)), installed);
        ASSERT_EQ(run(BrowserPolicyAction::Show), 0);
        EXPECT_NE(out_.str().find("'install' would refuse"), std::string::npos) << out_.str();
    }
}

TEST_F(BrowserPolicyCommand, ALinkInPlaceOfOurFileIsReplacedNotFollowed) {
    ASSERT_EQ(system(("mkdir -p " + setup_.folders[0].path).c_str()), 0);
    const std::string target = dir_.file("elsewhere.json");
    std::ofstream(target) << "untouched";
    ASSERT_EQ(::symlink(target.c_str(), ourFile(0).c_str()), 0);
    ASSERT_EQ(run(BrowserPolicyAction::Install), 0) << err_.str();
    EXPECT_EQ(readWholeFile(target), "untouched");
    struct stat info {};
    ASSERT_EQ(::lstat(ourFile(0).c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
}

TEST_F(BrowserPolicyCommand, AFolderThatCannotBeMadeFailsTheRunButNotTheOthers) {
    std::ofstream(dir_.file("etc-as-file")) << "";
    setup_.folders[0].path = dir_.file("etc-as-file/managed");
    EXPECT_EQ(run(BrowserPolicyAction::Install), 1);
    EXPECT_NE(err_.str().find("Chromium"), std::string::npos) << err_.str();
    EXPECT_EQ(readWholeFile(ourFile(1)), browserPolicyText({"https://counter.bank.example"}));
}

}  // namespace
}  // namespace lenvaro
