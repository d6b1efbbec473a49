// Helpers for the end-to-end tests of the host: running lenvaro-server with options beside a
// running instance, waiting for lines in the fake library's call log, reaping relaunched copies.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "host/instance_guard.h"
#include "server_process.h"

namespace lenvaro::testing {

struct CommandRun {
    int status = -1;  // exit status, 128 + signal when killed, -1 on timeout
    std::string output;
    std::string errors;
};

// Runs executable (a path, or a name looked up in PATH) with arguments and extra environment,
// collecting both outputs.
inline CommandRun runCommand(const std::string& executable, const std::vector<std::string>& arguments,
                             const std::map<std::string, std::string>& environment = {},
                             std::chrono::milliseconds timeout = std::chrono::seconds(40)) {
    ScratchDirectory outputs;
    const std::string outPath = outputs.file("out");
    const std::string errPath = outputs.file("err");
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(executable.c_str())};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execvp(executable.c_str(), argv.data());
        _exit(127);
    }
    CommandRun run;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (run.status == -1) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    run.output = readWholeFile(outPath);
    run.errors = readWholeFile(errPath);
    return run;
}

// The guard file of a server started by ServerProcess.
inline std::string guardOf(const ServerProcess& server) { return server.runtimeDir() + "/LenvaroServer.lock"; }

// Waits until the call log holds `wanted` calls (or a few seconds pass); returns the log.
inline std::vector<std::string> waitForCalls(const std::string& log, size_t wanted,
                                             std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::string> calls = readLines(log);
    while (calls.size() < wanted && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        calls = readLines(log);
    }
    return calls;
}

// Makes this test process the parent of orphaned descendants (a relaunched copy whose parent
// crashed), so that it can wait for them and read their exit status.
inline void adoptOrphans() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

// Exit status of an adopted process once it ends (128 + signal when killed), -1 on timeout.
inline int waitForAdopted(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

}  // namespace lenvaro::testing
