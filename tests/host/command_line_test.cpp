#include "host/command_line.h"

#include <gtest/gtest.h>

namespace lenvaro {
namespace {

using Action = CommandLine::Action;

TEST(CommandLineParsing, NoArgumentsServesWithRelaunch) {
    const CommandLine line = parseCommandLine({});
    EXPECT_EQ(line.action, Action::Serve);
    EXPECT_FALSE(line.noRelaunch);
    EXPECT_FALSE(line.relaunched);
    EXPECT_EQ(line.error, "");
}

TEST(CommandLineParsing, ReadsEachActionAndServingOption) {
    EXPECT_EQ(parseCommandLine({"--quit"}).action, Action::Quit);
    EXPECT_EQ(parseCommandLine({"--reset-card-reader"}).action, Action::ResetCardReader);
    EXPECT_EQ(parseCommandLine({"--help"}).action, Action::Help);
    EXPECT_EQ(parseCommandLine({"-h"}).action, Action::Help);
    EXPECT_EQ(parseCommandLine({"--version"}).action, Action::Version);
    EXPECT_EQ(parseCommandLine({"--quit", "--quit"}).action, Action::Quit);

    const CommandLine serving = parseCommandLine({"--no-relaunch", kRelaunchedOption, "--no-tray"});
    EXPECT_EQ(serving.action, Action::Serve);
    EXPECT_TRUE(serving.noRelaunch);
    EXPECT_TRUE(serving.noTray);
    EXPECT_TRUE(serving.relaunched);
    EXPECT_EQ(serving.relaunchedFrom, 0);
    EXPECT_EQ(serving.error, "");

    // The crash handler names the crashed copy, which the new one waits for.
    const CommandLine relaunched = parseCommandLine({std::string(kRelaunchedOption) + "=4242"});
    EXPECT_TRUE(relaunched.relaunched);
    EXPECT_EQ(relaunched.relaunchedFrom, 4242);
    EXPECT_EQ(relaunched.error, "");
    for (const char* bad : {"=", "=0", "=-3", "=12x"})
        EXPECT_NE(parseCommandLine({std::string(kRelaunchedOption) + bad}).error, "") << bad;
}

TEST(CommandLineParsing, RefusesUnknownOptionsAndConflicts) {
    EXPECT_EQ(parseCommandLine({"--quiet"}).error, "unknown option --quiet");
    EXPECT_EQ(parseCommandLine({"quit"}).error, "unknown option quit");
    EXPECT_EQ(parseCommandLine({"--no-relaunch", "-x"}).error, "unknown option -x");
    EXPECT_NE(parseCommandLine({"--quit", "--reset-card-reader"}).error, "");
    EXPECT_NE(parseCommandLine({"--version", "--help"}).error, "");
    EXPECT_NE(parseCommandLine({"--quit", "--no-relaunch"}).error, "");
    EXPECT_NE(parseCommandLine({"--reset-card-reader", kRelaunchedOption}).error, "");
    EXPECT_NE(parseCommandLine({"--quit", "--no-tray"}).error, "");
}

TEST(CommandLineParsing, BrowserPolicyTakesItsActionAfterASpaceOrAnEqualsSign) {
    const struct {
        std::vector<std::string> arguments;
        BrowserPolicyAction action;
    } accepted[] = {
        {{"--browser-policy", "install"}, BrowserPolicyAction::Install},
        {{"--browser-policy=remove"}, BrowserPolicyAction::Remove},
        {{"--browser-policy", "show"}, BrowserPolicyAction::Show},
    };
    for (const auto& entry : accepted) {
        const CommandLine line = parseCommandLine(entry.arguments);
        EXPECT_EQ(line.error, "") << entry.arguments[0];
        EXPECT_EQ(line.action, Action::BrowserPolicy);
        EXPECT_EQ(line.browserPolicy, entry.action);
    }
    for (const std::vector<std::string>& refused :
         {std::vector<std::string>{"--browser-policy"}, {"--browser-policy", "--quit"}, {"--browser-policy="},
          {"--browser-policy", "Install"}, {"--browser-policy", "show", "--quit"},
          {"--browser-policy", "show", "--no-relaunch"}}) {
        EXPECT_NE(parseCommandLine(refused).error, "") << refused.back();
    }
}

TEST(CommandLineParsing, HelpNamesEveryOptionAUserCanGive) {
    const std::string usage = usageText();
    for (const char* option : {"--no-relaunch", "--no-tray", "--quit", "--reset-card-reader", "--browser-policy", "--help", "--version",
                               "SIGTERM", "SIGUSR1", "Lenvaro1"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(usage.find(kRelaunchedOption), std::string::npos) << "internal option stays out of the help";
}

}  // namespace
}  // namespace lenvaro
