// The host window on Windows: an invisible tool window "LenvaroServer" that owns the
// notification-area icon with its one-item menu "退出", re-adds the icon when the shell restarts,
// and takes the private message that asks for a card reader reset.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <functional>

namespace lenvaro {

constexpr UINT WM_TRAYICON = WM_USER + 100;       // 1124: mouse events on the icon
constexpr UINT WM_REINIT_IDCARD = WM_USER + 205;  // 1229: re-initialise the ID card reader
constexpr UINT IDM_EXIT = 40002;                  // the menu item "退出"
constexpr UINT kTrayIconId = 101;
constexpr WORD IDI_TRAY = 129;                    // the icon resource

class TrayWindow {
public:
    struct Actions {
        std::function<void()> quit;             // "退出" chosen; called on the window thread
        std::function<void()> resetCardReader;  // WM_REINIT_IDCARD; on the window thread
        std::function<void()> endSession;       // the session ends (log-off, shutdown): the
                                                // process may be ended once this returns
    };

    // Registers the class, makes the window and adds the icon (unless `showIcon` is false: the
    // window alone, for the card reader message and the session's end), on the calling thread,
    // whose message loop then serves the window. Without a desktop (no window station, no
    // shell) the service runs on without a window or without an icon.
    explicit TrayWindow(Actions actions, bool showIcon = true);
    ~TrayWindow();  // removes the icon and destroys the window
    TrayWindow(const TrayWindow&) = delete;
    TrayWindow& operator=(const TrayWindow&) = delete;

    HWND handle() const { return window_; }
    HMENU menu() const { return menu_; }
    bool hasIcon() const { return iconShown_; }

private:
    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void handle(UINT message, WPARAM wParam, LPARAM lParam);
    void showMenu();
    bool addIcon();

    Actions actions_;
    HWND window_ = nullptr;
    HMENU menu_ = nullptr;
    NOTIFYICONDATAW icon_{};
    UINT taskbarCreated_ = 0;
    bool iconShown_ = false;
    bool showIcon_ = true;
};

}  // namespace lenvaro
