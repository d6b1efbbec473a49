// Running work that may abort the process (a decoder built with assertions on, fed a hostile
// image) in a child process, so that only the child dies.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace pictavo {

// Forks; the child runs `work` and hands its bytes back through a pipe, the parent waits for
// them at most `timeout` (then kills the child). The child starts with default signal handling
// and no descriptor but the standard ones and the pipe, and is killed if the thread that forked
// it ends (a crash of the whole process included). kOk and the bytes when the child ended
// normally, kFailed when it crashed, aborted, threw or ran out of time. The child only
// computes: it must not touch locks other threads of this process may hold, nor files.
int runIsolated(const std::function<std::string()>& work, std::chrono::milliseconds timeout,
                std::string& output);

}  // namespace pictavo
