// The Windows host under Wine: the tray window with its icon, one-item menu and private message
// (they need a display: run under Xvfb), and Ctrl+C in the console of a running
// LenvaroServer.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/windows_text.h"
#include "host/tray_window_windows.h"

namespace lenvaro {
namespace {

using namespace std::chrono_literals;

bool haveDisplay() { return GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) > 0; }

#define SKIP_WITHOUT_DISPLAY()                                                                   \
    if (!haveDisplay()) {                                                                        \
        GTEST_SKIP() << "no X display: the host window and its icon need one (scripts/check "    \
                        "windows runs these tests under Xvfb when it is installed)";              \
    }

// Runs the thread's messages until `done` or the timeout; false on timeout.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    return true;
}

// Waits on another thread for this process's popup menu to open, reads its items, and then
// presses the keys given (the menu runs its own modal loop on the window's thread).
class MenuDriver {
public:
    MenuDriver(HMENU expected, std::vector<WPARAM> keys) {
        thread_ = std::thread([this, expected, keys] {
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            HWND popup = nullptr;
            while (std::chrono::steady_clock::now() < deadline) {
                popup = FindWindowW(L"#32768", nullptr);
                if (popup != nullptr && IsWindowVisible(popup)) break;
                popup = nullptr;
                std::this_thread::sleep_for(20ms);
            }
            if (popup != nullptr) {
                opened_ = true;
                itemCount_ = GetMenuItemCount(expected);
                wchar_t text[32] = {};
                GetMenuStringW(expected, 0, text, 32, MF_BYPOSITION);
                firstItem_ = text;
                firstItemId_ = GetMenuItemID(expected, 0);
                for (WPARAM key : keys) {
                    PostMessageW(popup, WM_KEYDOWN, key, 0);
                    std::this_thread::sleep_for(50ms);
                }
            }
            finished_ = true;
        });
    }
    ~MenuDriver() { thread_.join(); }
    bool finished() const { return finished_; }

    std::atomic<bool> opened_{false};
    std::atomic<bool> finished_{false};
    int itemCount_ = 0;
    std::wstring firstItem_;
    UINT firstItemId_ = 0;

private:
    std::thread thread_;
};

TEST(WindowsTray, TheWindowTheIconAndTheOneItemMenu) {
    SKIP_WITHOUT_DISPLAY();
    int quits = 0;
    int resets = 0;
    int sessionEnds = 0;
    TrayWindow window({[&] { ++quits; }, [&] { ++resets; }, [&] { ++sessionEnds; }});
    ASSERT_NE(window.handle(), nullptr);
    EXPECT_EQ(FindWindowW(L"LenvaroServer", L"LenvaroServer"), window.handle());
    EXPECT_NE(GetWindowLongW(window.handle(), GWL_EXSTYLE) & WS_EX_TOOLWINDOW, 0);
    // A shell that starts after the window announces itself, and the window adds its icon then.
    EXPECT_TRUE(pumpUntil([&] { return window.hasIcon(); }, 5s))
        << "no icon in the notification area (shell window: " << (FindWindowW(L"Shell_TrayWnd", nullptr) != nullptr) << ")";

    // The private message resets the card reader.
    PostMessageW(window.handle(), WM_REINIT_IDCARD, 0, 0);
    EXPECT_TRUE(pumpUntil([&] { return resets == 1; }));

    // A left click does nothing.
    PostMessageW(window.handle(), WM_TRAYICON, kTrayIconId, WM_LBUTTONDOWN);
    pumpUntil([] { return false; }, 300ms);
    EXPECT_EQ(FindWindowW(L"#32768", nullptr) != nullptr && IsWindowVisible(FindWindowW(L"#32768", nullptr)), false);

    {
        // A right click opens the menu: one item, "退出"; dismissed, nothing happens.
        MenuDriver driver(window.menu(), {VK_ESCAPE});
        PostMessageW(window.handle(), WM_TRAYICON, kTrayIconId, WM_RBUTTONDOWN);
        EXPECT_TRUE(pumpUntil([&] { return driver.finished(); }));
        ASSERT_TRUE(driver.opened_);
        EXPECT_EQ(driver.itemCount_, 1);
        EXPECT_EQ(driver.firstItem_, L"\u9000\u51fa");
        EXPECT_EQ(driver.firstItemId_, IDM_EXIT);
        pumpUntil([] { return false; }, 300ms);
        EXPECT_EQ(quits, 0);
    }
    {
        // Chosen, it quits.
        MenuDriver driver(window.menu(), {VK_DOWN, VK_RETURN});
        PostMessageW(window.handle(), WM_TRAYICON, kTrayIconId, WM_RBUTTONDOWN);
        EXPECT_TRUE(pumpUntil([&] { return quits == 1; }));
        ASSERT_TRUE(driver.opened_);
    }
    // The end of the session is handled before the window answers (the process may be ended
    // right after); a log-off that was called off is not.
    SendMessageW(window.handle(), WM_ENDSESSION, FALSE, 0);
    EXPECT_EQ(sessionEnds, 0);
    SendMessageW(window.handle(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    EXPECT_EQ(sessionEnds, 1);
    // A restarted shell gets the icon again.
    PostMessageW(window.handle(), RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    pumpUntil([] { return false; }, 200ms);
    EXPECT_TRUE(window.hasIcon());
}

// LenvaroServer.exe with the fake Pictavo.dll beside it, in a folder of its own with a
// configuration that lets the system pick the port.
class ServerInFolder {
public:
    ServerInFolder() {
        wchar_t temp[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, temp);
        folder_ = std::wstring(temp) + L"lenvaro-host-test-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(folder_.c_str(), nullptr);
        CreateDirectoryW((folder_ + L"\\bin").c_str(), nullptr);
        CreateDirectoryW((folder_ + L"\\cfg").c_str(), nullptr);
        const std::wstring here = moduleFolder();
        CopyFileW((here + L"\\LenvaroServer.exe").c_str(), (folder_ + L"\\bin\\LenvaroServer.exe").c_str(), FALSE);
        CopyFileW((here + L"\\Pictavo.dll").c_str(), (folder_ + L"\\bin\\Pictavo.dll").c_str(), FALSE);
        std::ofstream(std::filesystem::path(folder_ + L"\\cfg\\exeCfg.xml")) << "<exeInfo><port>0</port></exeInfo>";
        DeleteFileW((folder_ + L"\\calls.log").c_str());
    }
    ~ServerInFolder() {
        if (process_.hProcess != nullptr) {
            if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 1);
            CloseHandle(process_.hProcess);
            CloseHandle(process_.hThread);
        }
    }

    bool start() {
        SetEnvironmentVariableW(L"PICTAVO_FAKE_LOG", (folder_ + L"\\calls.log").c_str());
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE out = CreateFileW((folder_ + L"\\out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out;
        startup.hStdError = out;
        std::wstring line = L"\"" + folder_ + L"\\bin\\LenvaroServer.exe\"";
        const BOOL started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                            &startup, &process_);
        CloseHandle(out);
        SetEnvironmentVariableW(L"PICTAVO_FAKE_LOG", nullptr);
        if (!started) return false;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (read(L"out.txt").find("listening on") != std::string::npos) return true;
            if (WaitForSingleObject(process_.hProcess, 50) == WAIT_OBJECT_0) return false;
        }
        return false;
    }

    // The exit code, or -1 when the process has not ended within the timeout.
    int waitForExit(DWORD milliseconds = 20000) {
        if (WaitForSingleObject(process_.hProcess, milliseconds) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(process_.hProcess, &code);
        return static_cast<int>(code);
    }

    std::string read(const std::wstring& name) const {
        std::ifstream in(std::filesystem::path(folder_ + L"\\" + name), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    static std::wstring moduleFolder() {
        wchar_t path[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring folder(path, length);
        return folder.substr(0, folder.find_last_of(L'\\'));
    }

    std::wstring folder_;
    PROCESS_INFORMATION process_{};
};

TEST(WindowsConsole, CtrlCClosesTheCamerasReleasesTheLibraryAndExitsZero) {
    // A console of this test's own (when it has one already, AllocConsole leaves it); the
    // server attaches to it as it does to the console it is started from.
    AllocConsole();
    ServerInFolder server;
    ASSERT_TRUE(server.start()) << server.read(L"out.txt");
    // Ctrl+C goes to every process of the console: this one lets it pass.
    SetConsoleCtrlHandler(nullptr, TRUE);
    const BOOL sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    const int status = server.waitForExit();
    Sleep(100);
    SetConsoleCtrlHandler(nullptr, FALSE);
    if (!sent) {
        // Wine has a console for Ctrl+C only on a terminal: scripts/check windows runs this test
        // on one (under script(1)) and asks for it not to be skipped there.
        if (GetEnvironmentVariableW(L"LENVARO_REQUIRE_CONSOLE", nullptr, 0) > 0) FAIL() << "no Ctrl+C event could be sent";
        GTEST_SKIP() << "the console takes no Ctrl+C event here (Wine without a terminal)";
    }
    EXPECT_EQ(status, 0) << server.read(L"out.txt");
    EXPECT_EQ(server.read(L"calls.log"),
              "camInitCameraLib()\ncamCloseDev(0)\ncamCloseDev(1)\ncamUnInitCameraLib()\n");
}

}  // namespace
}  // namespace lenvaro
