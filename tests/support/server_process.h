// Runs the real lenvaro-server executable in a private copy of the installed layout
// (bin/ with the executable and a chosen libpictavo.so beside it, cfg/exeCfg.xml), and reads
// the port it listens on from its standard output.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/paths.h"
#include "loopback_socket.h"
#include "test_files.h"

namespace lenvaro::testing {

inline bool copyFile(const std::string& from, const std::string& to, mode_t mode) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    out.close();
    return in.good() && out.good() && chmod(to.c_str(), mode) == 0;
}

struct ServerOptions {
    std::string library = LENVARO_BUILTIN_LIBRARY;  // the libpictavo.so put beside it
    std::optional<std::string> configXml = std::string("<exeInfo><port>0</port></exeInfo>");
    std::map<std::string, std::string> environment;
    // cfg/simulator.json for the built-in library; none when empty. By default the simulated
    // cameras are off, so that a server is the computer without a camera unless a test asks.
    std::optional<std::string> simulatorJson = std::string(R"({"cameras": {"simulated": false}})");
    // The file mode creation mask the process starts with; this process's own when none.
    std::optional<mode_t> umask = std::nullopt;
    // The executable copied into bin/ (benchmarks compare another build's) and the names both
    // get there; the Windows build under Wine takes LenvaroServer.exe and Pictavo.dll, started
    // through the launcher {"wine"}.
    std::string executable = LENVARO_SERVER_EXECUTABLE;
    std::string executableName = "lenvaro-server";
    std::string libraryName = "libpictavo.so";
    std::vector<std::string> launcher;
};

class ServerProcess {
public:
    using Options = ServerOptions;

    explicit ServerProcess(Options options = Options()) : options_(std::move(options)) {
        bin_ = root_.file("bin");
        mkdir(bin_.c_str(), 0700);
        copyFile(options_.executable, executable(), 0700);
        copyFile(options_.library, bin_ + "/" + options_.libraryName, 0600);
        if (options_.configXml) {
            mkdir(root_.file("cfg").c_str(), 0700);
            std::ofstream(root_.file("cfg/exeCfg.xml")) << *options_.configXml;
        }
        if (options_.simulatorJson) {
            mkdir(root_.file("cfg").c_str(), 0700);
            std::ofstream(root_.file("cfg/simulator.json")) << *options_.simulatorJson;
        }
        mkdir(tmp().c_str(), 0700);
        mkdir(runtimeDir().c_str(), 0700);
        mkdir(home().c_str(), 0700);
    }

    ~ServerProcess() { stop(); }

    const ScratchDirectory& root() const { return root_; }
    void setEnvironment(const std::string& name, const std::string& value) {
        options_.environment[name] = value;
    }
    std::string tmp() const { return root_.file("tmp"); }
    // XDG_RUNTIME_DIR of the process (unless the options name another).
    std::string runtimeDir() const { return root_.file("run"); }
    std::string fakeLog() const { return root_.file("calls.log"); }
    std::string executable() const { return bin_ + "/" + options_.executableName; }
    // The executable with its launcher, for running it beside the server with other options.
    std::vector<std::string> commandLine() const {
        std::vector<std::string> line = options_.launcher;
        line.push_back(executable());
        return line;
    }
    // HOME of the process (unless the options name another): documents the service keeps go
    // here, never into the home of whoever runs the tests.
    std::string home() const { return root_.file("home"); }

    // Starts the process and waits for its "listening on" line. Returns the port, or 0 when the
    // process ended or said nothing within the timeout.
    uint16_t start(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        int out[2];
        if (pipe(out) != 0) return 0;
        const std::string errPath = root_.file("stderr.txt");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(err, STDERR_FILENO);
            close(out[0]);
            setenv("TMPDIR", tmp().c_str(), 1);
            // A private runtime directory: the single-instance guard lives there, so servers
            // of parallel tests do not take each other for a running instance.
            setenv("XDG_RUNTIME_DIR", runtimeDir().c_str(), 1);
            setenv("PICTAVO_FAKE_LOG", fakeLog().c_str(), 1);
            setenv("HOME", home().c_str(), 1);
            setenv("XDG_CONFIG_HOME", (home() + "/.config").c_str(), 1);
            // No real camera: the built-in library looks for V4L2 devices below a folder that
            // does not exist, so a computer with a webcam runs the tests as one without.
            setenv("PICTAVO_V4L2_ROOT", root_.file("no-devices").c_str(), 1);
            // Nor the computer's smart card readers: the PC/SC client looks for a pcscd socket
            // that is not there (a test with a pcscd of its own names its socket).
            setenv("PCSCLITE_CSOCK_NAME", root_.file("no-pcscd/pcscd.comm").c_str(), 1);
            unsetenv("LD_LIBRARY_PATH");
            if (options_.umask) ::umask(*options_.umask);
            // Relative paths the service is given land in its private folder, wherever the
            // tests were started from.
            if (chdir(root_.path().c_str()) != 0) _exit(126);
            for (const auto& [name, value] : options_.environment) setenv(name.c_str(), value.c_str(), 1);
            std::vector<std::string> line = commandLine();
            std::vector<char*> argv;
            for (std::string& part : line) argv.push_back(part.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        stdout_ = out[0];
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        const std::string marker = "listening on ";
        while (std::chrono::steady_clock::now() < deadline) {
            if (!readSome(50)) break;
            const size_t at = output_.find(marker);
            const size_t end = at == std::string::npos ? at : output_.find('\n', at);
            if (end != std::string::npos) {
                const std::string where = output_.substr(at + marker.size(), end - at - marker.size());
                return static_cast<uint16_t>(std::atoi(where.substr(where.rfind(':') + 1).c_str()));
            }
        }
        return 0;
    }

    // Waits for the process to end by itself; its exit status, or -1 on timeout.
    int waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                drainOutput();
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            readSome(20);
        }
        return -1;
    }

    // SIGTERM and wait; the exit status.
    int stop() {
        if (pid_ <= 0) return exitStatus_;
        kill(pid_, SIGTERM);
        int status = waitForExit();
        if (status == -1) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        exitStatus_ = status;
        return status;
    }

    const std::string& standardOutput() {
        drainOutput();
        return output_;
    }
    std::string standardError() const { return readWholeFile(root_.file("stderr.txt")); }

private:
    bool readSome(int timeoutMs) {
        if (stdout_ < 0) return false;
        pollfd fd{stdout_, POLLIN, 0};
        if (poll(&fd, 1, timeoutMs) <= 0) return true;
        char buffer[4096];
        const ssize_t got = read(stdout_, buffer, sizeof buffer);
        if (got <= 0) {
            close(stdout_);
            stdout_ = -1;
            return false;
        }
        output_.append(buffer, static_cast<size_t>(got));
        return true;
    }
    void drainOutput() {
        while (stdout_ >= 0 && readSome(0)) {
            pollfd fd{stdout_, POLLIN, 0};
            if (poll(&fd, 1, 0) <= 0) break;
        }
    }

    Options options_;
    ScratchDirectory root_;
    std::string bin_;
    pid_t pid_ = -1;
    int stdout_ = -1;
    int exitStatus_ = -1;
    std::string output_;
};

}  // namespace lenvaro::testing
