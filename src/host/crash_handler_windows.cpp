// The last-chance crash handler on Windows: the unhandled-exception filter (and the C runtime's
// signals, which abort() and raise() use instead) writes "GenerateMiniDump" to the daily log, a
// minidump beside the log, the executable's path, starts the same executable once, and lets the
// process end.
#include <windows.h>
#include <dbghelp.h>

#include <atomic>
#include <csignal>
#include <cstdlib>

#include "common/daily_log.h"
#include "common/windows_text.h"
#include "host/crash_handler.h"

namespace lenvaro {

// The C runtime's crash signals (abort() raises SIGABRT, which the runtime knows under two
// numbers); access violations and the like arrive as exceptions.
const int kCrashSignals[5] = {SIGSEGV, SIGFPE, SIGILL, SIGABRT, SIGABRT_COMPAT};

namespace {

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                PMINIDUMP_EXCEPTION_INFORMATION,
                                                PMINIDUMP_USER_STREAM_INFORMATION,
                                                PMINIDUMP_CALLBACK_INFORMATION);

// Everything the handler needs, prepared while the process is healthy.
struct CrashState {
    DailyLog* log = nullptr;
    std::string executableText;  // for the log line, in the internal code page
    std::wstring executable;
    std::wstring commandLine;    // "executable" arguments
    std::wstring dumpFolder;     // the log's folder
    MiniDumpWriteDumpFunction writeDump = nullptr;
    bool thisIsARelaunch = false;
    ULONGLONG installedAt = 0;
};

std::atomic<CrashState*> theState{nullptr};
std::atomic<bool> restartPending{false};
// 0: no crash yet, 1: the first crashing thread is at work, 2: it is done.
std::atomic<int> firstCrash{0};

std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring out = L"\"";
    for (wchar_t c : argument) {
        if (c == L'"') out += L'\\';
        out += c;
    }
    return out + L"\"";
}

// <log folder>\LenvaroServer-<process id>.dmp, built in a fixed buffer.
void writeMinidump(const CrashState& state, EXCEPTION_POINTERS* exception) {
    if (state.writeDump == nullptr) return;
    wchar_t path[1200];
    size_t length = 0;
    for (wchar_t c : state.dumpFolder) {
        if (length + 40 >= sizeof path / sizeof path[0]) return;
        path[length++] = c;
    }
    wchar_t name[64];
    const int nameLength = wsprintfW(name, L"\\LenvaroServer-%lu.dmp", GetCurrentProcessId());
    for (int i = 0; i <= nameLength; ++i) path[length + i] = name[i];
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    MINIDUMP_EXCEPTION_INFORMATION where{};
    where.ThreadId = GetCurrentThreadId();
    where.ExceptionPointers = exception;
    where.ClientPointers = FALSE;
    // The threads' stacks and the modules, not the heap: small, and without the pictures and
    // card data the heap may hold.
    const BOOL written = state.writeDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                                         exception != nullptr ? &where : nullptr, nullptr, nullptr);
    CloseHandle(file);
    if (written) state.log->writeLine("minidump written");
}

void relaunch(CrashState& state) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // Nothing of this process is inherited: not its sockets, not its files.
    if (CreateProcessW(state.executable.c_str(), &state.commandLine[0], nullptr, nullptr, FALSE,
                       0, nullptr, nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

void handleCrash(EXCEPTION_POINTERS* exception) {
    CrashState* state = theState.load();
    // Threads crashing at once: the first does the work, the others wait for it (the process
    // ends when the first returns).
    int expected = 0;
    const bool firstThread = firstCrash.compare_exchange_strong(expected, 1);
    if (!firstThread) {
        for (int waited = 0; firstCrash.load() != 2 && waited < 500; ++waited) Sleep(10);
        return;
    }
    if (state != nullptr) {
        state->log->writeLine("GenerateMiniDump");
        writeMinidump(*state, exception);
        if (restartPending.exchange(false)) {
            const bool soonAfterStart =
                GetTickCount64() - state->installedAt < static_cast<ULONGLONG>(kCrashLoopWindow.count()) * 1000;
            if (state->thisIsARelaunch && soonAfterStart) {
                state->log->writeLine("relaunch skipped: the relaunched copy crashed right after its start");
            } else {
                state->log->writeLine(state->executableText.c_str());
                relaunch(*state);
            }
        }
    }
    firstCrash.store(2);
}

LONG WINAPI crashFilter(EXCEPTION_POINTERS* exception) {
    handleCrash(exception);
    return EXCEPTION_EXECUTE_HANDLER;
}

void crashSignal(int signalNumber) {
    handleCrash(nullptr);
    TerminateProcess(GetCurrentProcess(), 128 + static_cast<UINT>(signalNumber));
}

}  // namespace

void installCrashHandler(DailyLog& log, const CrashRelaunch& relaunch) {
    auto* state = new CrashState;
    state->log = &log;
    state->executableText = relaunch.executable;
    state->executable = internalToWide(relaunch.executable);
    state->commandLine = quoted(state->executable);
    for (const std::string& argument : relaunch.arguments) state->commandLine += L" " + quoted(internalToWide(argument));
    state->dumpFolder = internalToWide(log.folder());
    for (wchar_t& c : state->dumpFolder) {
        if (c == L'/') c = L'\\';
    }
    // dbghelp.dll is a part of every Windows; loaded here, not at the crash.
    if (HMODULE dbghelp = LoadLibraryW(L"dbghelp.dll")) {
        state->writeDump = reinterpret_cast<MiniDumpWriteDumpFunction>(
            reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
    }
    state->thisIsARelaunch = relaunch.thisIsARelaunch;
    state->installedAt = GetTickCount64();
    restartPending.store(relaunch.enabled && !relaunch.executable.empty());
    theState.store(state);

    // No system error dialog for the crash: the handler has dealt with it.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(crashFilter);
    // abort() and raise() go to the C runtime's handlers, not to the exception filter; the
    // handler ends the process itself, before the runtime's own abort message.
    for (const int signalNumber : kCrashSignals) std::signal(signalNumber, crashSignal);
}

void cancelCrashRelaunch() { restartPending.store(false); }

bool crashRelaunchPending() { return restartPending.load(); }

bool waitForCrashedCopy(long crashedProcessId, std::chrono::milliseconds patience) {
    HANDLE crashed = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                 static_cast<DWORD>(crashedProcessId));
    if (crashed == nullptr) return true;  // gone already
    // The crashed copy was still running when it started this one; a process under the same id
    // that started later took the id over after it had ended.
    FILETIME created{}, crashedCreated{}, unused{};
    const bool olderThanThis =
        GetProcessTimes(GetCurrentProcess(), &created, &unused, &unused, &unused) &&
        GetProcessTimes(crashed, &crashedCreated, &unused, &unused, &unused) &&
        CompareFileTime(&crashedCreated, &created) <= 0;
    const DWORD waited = olderThanThis ? WaitForSingleObject(crashed, static_cast<DWORD>(patience.count()))
                                       : WAIT_OBJECT_0;
    CloseHandle(crashed);
    return waited == WAIT_OBJECT_0;
}

long currentProcessId() { return static_cast<long>(GetCurrentProcessId()); }

std::string executablePath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
        if (length == 0) return "";
        if (length < buffer.size()) {
            buffer.resize(length);
            return pathToInternal(buffer);
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Windows runs the exception filter on the crashing thread's own stack; after a stack overflow
// the handler needs room kept back for it.
AlternateSignalStack::AlternateSignalStack() {
    ULONG reserve = 64 * 1024;
    installed_ = SetThreadStackGuarantee(&reserve) != 0;
}

AlternateSignalStack::~AlternateSignalStack() = default;

}  // namespace lenvaro
