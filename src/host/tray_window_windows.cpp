// The host window, its notification-area icon and menu.
#include "host/tray_window_windows.h"

#include <shellapi.h>

#include <cwchar>

namespace lenvaro {
namespace {

constexpr const wchar_t* kName = L"LenvaroServer";  // class, title and tooltip
constexpr const wchar_t* kExitText = L"\u9000\u51fa";  // 退出
constexpr WPARAM kRightButtonDown = WM_RBUTTONDOWN;    // 0x204 in the icon's mouse events

}  // namespace

TrayWindow::TrayWindow(Actions actions, bool showIcon) : actions_(std::move(actions)), showIcon_(showIcon) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kName;
    if (RegisterClassW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
    window_ = CreateWindowExW(WS_EX_TOOLWINDOW, kName, kName, WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, this);
    if (window_ == nullptr) return;
    // The shell's notice that it restarted (and lost every icon).
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
    menu_ = CreatePopupMenu();
    AppendMenuW(menu_, MF_STRING, IDM_EXIT, kExitText);

    icon_.cbSize = sizeof icon_;
    icon_.hWnd = window_;
    icon_.uID = kTrayIconId;
    icon_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
    icon_.uCallbackMessage = WM_TRAYICON;
    icon_.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_TRAY));
    if (icon_.hIcon == nullptr) icon_.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512))  /* IDI_APPLICATION */;
    wcsncpy(icon_.szTip, kName, sizeof icon_.szTip / sizeof icon_.szTip[0] - 1);
    if (showIcon_) iconShown_ = addIcon();
}

TrayWindow::~TrayWindow() {
    if (iconShown_) Shell_NotifyIconW(NIM_DELETE, &icon_);
    if (menu_ != nullptr) DestroyMenu(menu_);
    if (window_ != nullptr) {
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
    }
}

bool TrayWindow::addIcon() {
    // After a shell restart the icon is gone and is added anew; one the shell still shows is
    // kept (adding it twice fails).
    return Shell_NotifyIconW(NIM_ADD, &icon_) != FALSE || Shell_NotifyIconW(NIM_MODIFY, &icon_) != FALSE;
}

LRESULT CALLBACK TrayWindow::windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<TrayWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    // Every message, handled here or not, then goes to the default procedure.
    if (self != nullptr && self->window_ == window) self->handle(message, wParam, lParam);
    return DefWindowProcW(window, message, wParam, lParam);
}

void TrayWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TRAYICON) {
        // Only a right click opens the menu; left clicks and other mouse events do nothing.
        if (static_cast<WPARAM>(lParam) == kRightButtonDown) showMenu();
    } else if (message == WM_REINIT_IDCARD) {
        if (actions_.resetCardReader) actions_.resetCardReader();
    } else if (message == WM_ENDSESSION) {
        if (wParam && actions_.endSession) actions_.endSession();
    } else if (message == WM_TIMER) {
        KillTimer(window_, static_cast<UINT_PTR>(wParam));
    } else if (showIcon_ && taskbarCreated_ != 0 && message == taskbarCreated_) {
        iconShown_ = addIcon();
    }
}

void TrayWindow::showMenu() {
    POINT cursor{};
    GetCursorPos(&cursor);
    SetForegroundWindow(window_);
    const UINT chosen = static_cast<UINT>(
        TrackPopupMenu(menu_, TPM_RETURNCMD | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, window_, nullptr));
    // Lets the menu close when the user clicks elsewhere next time.
    PostMessageW(window_, WM_NULL, 0, 0);
    if (chosen == IDM_EXIT && actions_.quit) actions_.quit();
}

}  // namespace lenvaro
