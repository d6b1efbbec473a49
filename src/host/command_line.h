// The command line of lenvaro-server.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "host/browser_policy.h"

namespace lenvaro {

// Given by a crash handler to the copy it starts (not meant to be typed), as
// --relaunched=<process id of the crashed copy>.
constexpr const char* kRelaunchedOption = "--relaunched";

struct CommandLine {
    enum class Action {
        Serve,            // run the service
        Help,             // --help
        Version,          // --version
        Quit,             // --quit: ask the running instance to quit, wait for it
        ResetCardReader,  // --reset-card-reader: ask the running instance to reset the reader
        BrowserPolicy,    // --browser-policy install|remove|show
    };
    Action action = Action::Serve;
    bool noRelaunch = false;  // --no-relaunch
    bool noTray = false;      // --no-tray
    bool relaunched = false;  // --relaunched
    long relaunchedFrom = 0;  // the crashed copy's process id (--relaunched=<id>); 0 when not given
    BrowserPolicyAction browserPolicy = BrowserPolicyAction::Show;  // with Action::BrowserPolicy
    std::string error;        // set when the line cannot be understood
};

CommandLine parseCommandLine(const std::vector<std::string>& arguments);  // without argv[0]

// The text --help prints.
std::string usageText();

}  // namespace lenvaro
