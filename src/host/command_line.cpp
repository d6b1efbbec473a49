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
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            takeAction(CommandLine::Action::Help, argument);
        } else if (argument == "--version") {
            takeAction(CommandLine::Action::Version, argument);
        } else if (argument == "--quit") {
            takeAction(CommandLine::Action::Quit, argument);
        } else if (argument == "--reset-card-reader") {
            takeAction(CommandLine::Action::ResetCardReader, argument);
        } else if (argument == "--no-relaunch") {
            line.noRelaunch = true;
        } else if (argument == kRelaunchedOption) {
            line.relaunched = true;
        } else {
            line.error = "unknown option " + argument;
        }
        if (!line.error.empty()) return line;
    }
    const bool signalsAnotherInstance =
        line.action == CommandLine::Action::Quit || line.action == CommandLine::Action::ResetCardReader;
    if (signalsAnotherInstance && (line.noRelaunch || line.relaunched)) {
        line.error = "--no-relaunch applies only when the service itself is started";
    }
    return line;
}

std::string usageText() {
    return "Usage: lenvaro-server [--no-relaunch]\n"
           "       lenvaro-server --quit | --reset-card-reader | --help | --version\n"
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
           "  --quit               ask the running instance to close the cameras and quit;\n"
           "                       waits until it has ended\n"
           "  --reset-card-reader  ask the running instance to re-initialise the ID card reader\n"
           "  -h, --help           show this text\n"
           "  --version            show the version\n"
           "\n"
           "Signals to the running instance: SIGTERM or SIGINT quits as --quit does, SIGUSR1\n"
           "resets the card reader.\n"
           "\n"
           "Exit status: 0 after a clean quit or when another instance already runs; 1 when\n"
           "the service cannot start (port in use, no temporary folder), or when --quit or\n"
           "--reset-card-reader finds no running instance; 2 for a bad command line.\n"
           "\n"
           "Crashes are written to $TMPDIR/Lenvaro1/YYYY-MM-DD.log (/tmp when TMPDIR is unset).\n";
}

}  // namespace lenvaro
