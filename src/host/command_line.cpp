// Command-line parsing and the help text.
#include "host/command_line.h"

namespace lenvaro {

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    bool actionGiven = false;
    auto takeAction = [&](CommandLine::Action action, const std::string& option) {
        if (actionGiven && line.action != action) {
            line.error = "option " + option + " cannot be combined with another action";
            return;
        }
        actionGiven = true;
        line.action = action;
    };
    for (size_t at = 0; at < arguments.size(); ++at) {
        const std::string& argument = arguments[at];
        if (argument == "--browser-policy" || argument.rfind("--browser-policy=", 0) == 0) {
            // The action is the next argument, or follows "=".
            const bool joined = argument.size() > std::char_traits<char>::length("--browser-policy");
            std::string what;
            if (joined) {
                what = argument.substr(argument.find('=') + 1);
            } else if (at + 1 < arguments.size()) {
                what = arguments[++at];
            }
            takeAction(CommandLine::Action::BrowserPolicy, "--browser-policy");
            if (what == "install") {
                line.browserPolicy = BrowserPolicyAction::Install;
            } else if (what == "remove") {
                line.browserPolicy = BrowserPolicyAction::Remove;
            } else if (what == "show") {
                line.browserPolicy = BrowserPolicyAction::Show;
            } else if (line.error.empty()) {
                line.error = "--browser-policy needs one of install, remove, show";
            }
        } else if (argument == "--help" || argument == "-h") {
            takeAction(CommandLine::Action::Help, argument);
        } else if (argument == "--version") {
            takeAction(CommandLine::Action::Version, argument);
        } else if (argument == "--quit") {
            takeAction(CommandLine::Action::Quit, argument);
        } else if (argument == "--reset-card-reader") {
            takeAction(CommandLine::Action::ResetCardReader, argument);
        } else if (argument == "--no-relaunch") {
            line.noRelaunch = true;
        } else if (argument == "--no-tray") {
            line.noTray = true;
        } else if (argument == kRelaunchedOption) {
            line.relaunched = true;
        } else if (argument.rfind(std::string(kRelaunchedOption) + "=", 0) == 0) {
            const std::string id = argument.substr(std::char_traits<char>::length(kRelaunchedOption) + 1);
            char* end = nullptr;
            const long pid = std::strtol(id.c_str(), &end, 10);
            if (id.empty() || *end != '\0' || pid <= 0) line.error = "bad option " + argument;
            line.relaunched = true;
            line.relaunchedFrom = pid;
        } else {
            line.error = "unknown option " + argument;
        }
        if (!line.error.empty()) return line;
    }
    const bool servesNothing = line.action == CommandLine::Action::Quit ||
                               line.action == CommandLine::Action::ResetCardReader ||
                               line.action == CommandLine::Action::BrowserPolicy;
    if (servesNothing && (line.noRelaunch || line.relaunched)) {
        line.error = "--no-relaunch applies only when the service itself is started";
    } else if (servesNothing && line.noTray) {
        line.error = "--no-tray applies only when the service itself is started";
    }
    return line;
}

std::string usageText() {
    return "Usage: lenvaro-server [--no-relaunch] [--no-tray]\n"
           "       lenvaro-server --quit | --reset-card-reader | --help | --version\n"
           "       lenvaro-server --browser-policy install | remove | show\n"
           "\n"
           "Runs the Lenvaro Server: a local WebSocket service (127.0.0.1, port from\n"
           "cfg/exeCfg.xml, 9000 by default) through which a web page drives the document\n"
           "camera and its peripherals. One instance runs per user; starting a second one\n"
           "ends it at once with status 0.\n"
           "\n"
           "Options:\n"
           "  --no-relaunch        after a crash, do not start a new copy (a copy is not\n"
           "                       started either when systemd runs the service: it restarts\n"
           "                       the service itself)\n"
           "  --no-tray            show no icon in the desktop's tray (also <trayIcon>off</trayIcon>\n"
           "                       in cfg/exeCfg.xml)\n"
           "  --quit               ask the running instance to close the cameras and quit;\n"
           "                       waits until it has ended\n"
           "  --reset-card-reader  ask the running instance to re-initialise the ID card reader\n"
           "  --browser-policy install|remove|show\n"
           "                       write (remove, print) the managed policy that lets the pages\n"
           "                       of the allowedOrigin list in cfg/exeCfg.xml reach the service\n"
           "                       in Chromium, Google Chrome and Microsoft Edge (Local Network\n"
           "                       Access); install and remove need root\n"
           "  -h, --help           show this text\n"
           "  --version            show the version\n"
           "\n"
           "Signals to the running instance: SIGTERM or SIGINT quits as --quit does, SIGUSR1\n"
           "resets the card reader.\n"
           "\n"
           "Exit status: 0 after a clean quit or when another instance already runs; 1 when\n"
           "the service cannot start (port in use, no temporary folder), when --quit or\n"
           "--reset-card-reader finds no running instance, or when --browser-policy is\n"
           "refused or fails; 2 for a bad command line.\n"
           "\n"
           "Crashes are written to $TMPDIR/Lenvaro1/YYYY-MM-DD.log (/tmp when TMPDIR is unset).\n";
}

}  // namespace lenvaro
