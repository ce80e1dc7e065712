#include "ui/Tray.h"

#include "app/Codes.h"
#include "app/Handles.h"
#include "app/Log.h"
#include "app/Task.h"
#include "ui/Window.h"

#include <windows.h>
#include <shellapi.h>

namespace pennant {
namespace {

constexpr UINT TrayIconId = 1;
constexpr WORD TrayIconResource = 154;
constexpr UINT BalloonFlag = 0x10;  // NIF_INFO
constexpr UINT BalloonTimeoutMs = 2000;
// Pixels at 96 DPI, measured and drawn at the pop-up's scale.
constexpr int MenuItemWidth = 86;
constexpr int MenuItemHeight = 30;
constexpr int MenuLabelIndent = 15;

constexpr DWORD NotifyFullSize = sizeof(NOTIFYICONDATAA);
constexpr DWORD NotifyV3Size = NOTIFYICONDATAA_V3_SIZE;
constexpr DWORD NotifyV2Size = NOTIFYICONDATAA_V2_SIZE;
constexpr DWORD NotifyV1Size = NOTIFYICONDATAA_V1_SIZE;
#ifndef _WIN64
static_assert(NotifyFullSize == 508 && NotifyV3Size == 504 && NotifyV2Size == 488 &&
                  NotifyV1Size == 88,
              "the shell's published NOTIFYICONDATAA layouts");
#endif

// A fresh record for one call to the shell, sized for this OS.
NOTIFYICONDATAA NotifyRecord(HWND window) {
    NOTIFYICONDATAA record = {};
    record.cbSize = OsVersionProbe();
    record.hWnd = window;
    record.uID = TrayIconId;
    return record;
}

void ShowTrayMenu(HWND window, int32_t phase) {
    POINT cursor;
    GetCursorPos(&cursor);
    UniqueMenu menu(CreatePopupMenu());
    if (!menu) return;
    const int current = phase;
    AppendMenuA(menu.Get(), MF_OWNERDRAW, ShowWindowCommand, nullptr);
    AppendMenuA(menu.Get(), MF_OWNERDRAW | (current == Offer ? 0 : MF_GRAYED), UpgradeCommand,
                nullptr);
    AppendMenuA(menu.Get(), MF_OWNERDRAW | (current == Installing ? MF_GRAYED : 0), ExitCommand,
                nullptr);
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(window);
    TrackPopupMenu(menu.Get(), TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, window, nullptr);
    PostMessageA(window, WM_NULL, 0, 0);
}

const char* MenuLabel(UINT id) {
    switch (id) {
    case UpgradeCommand:
        return "立即升级";
    case ExitCommand:
        return "退出";
    case ShowWindowCommand:
        return "显示主窗口";
    default:
        return "";
    }
}

}  // namespace

OsClass ClassifyOs(DWORD platformId, DWORD major, DWORD minor) {
    if (platformId != VER_PLATFORM_WIN32_NT) return {NotifyV1Size, "Win9X detected"};
    if (major == 5) {
        if (minor == 1) return {NotifyV3Size, "WinXP detected"};
        return {NotifyV2Size, "Win2K detected"};
    }
    if (major == 6) {
        static const char* const names[] = {"Vista detected", "Win7 detected", "Win8 detected",
                                            "Win8.1 detected"};
        if (minor > 3) return {NotifyV1Size, nullptr};
        return {NotifyFullSize, names[minor]};
    }
    if (major > 6) return {NotifyFullSize, "Win10 detected"};
    return {NotifyV1Size, nullptr};
}

DWORD OsVersionProbe() {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    BOOL ok = GetVersionExA(&info);
#pragma GCC diagnostic pop
    if (!ok) {
        Log(LogProgress, "Unknown OS type");
        return NotifyV1Size;
    }
    Log(LogProgress, "OS Major %lu, Minor %lu", info.dwMajorVersion, info.dwMinorVersion);
    const OsClass found = ClassifyOs(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion);
    if (found.name) Log(LogProgress, "%s", found.name);
    return found.recordSize;
}

// The tray icon at the notification area's icon size. At 96 DPI the system's
// default size as ever; at other scales the default (the large icon's size)
// would leave the shell to shrink it, so the artwork drawn nearest the small
// size for the scale is picked.
HICON LoadTrayIcon(HWND window) {
    const DisplayScale scale = DisplayScale::OfWindow(window);
    const int side = scale.Dpi() == DisplayScale::DesignDpi ? 0 : scale.SmallIconSize();
    auto load = [](int size) {
        return static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr),
                                             MAKEINTRESOURCEA(TrayIconResource), IMAGE_ICON,
                                             size, size, size == 0 ? LR_DEFAULTSIZE : 0));
    };
    HICON icon = load(side);
    // An empty slot would hide the way back to the pop-up: the default size
    // is better than none.
    if (!icon && side != 0) {
        Log(LogError, "LoadImage of the tray icon at %d px failed, errno = %lu", side,
            GetLastError());
        icon = load(0);
    }
    return icon;
}

void TrayAdd(HWND window) {
    NOTIFYICONDATAA record = NotifyRecord(window);
    UniqueIcon icon(LoadTrayIcon(window));
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = WM_TRAY_NOTIFY;
    record.hIcon = icon.Get();
    lstrcpynA(record.szTip, "您有软件可以更新", sizeof record.szTip);
    BOOL ok = Shell_NotifyIconA(NIM_ADD, &record);
    Log(LogError, "Shell_NotifyIcon create ret %d, errno = %lu", ok, GetLastError());
}

void TrayBalloon(HWND window, bool show) {
    NOTIFYICONDATAA record = NotifyRecord(window);
    record.uFlags = BalloonFlag;
    record.uTimeout = BalloonTimeoutMs;
    if (show) {
        lstrcpynA(record.szInfoTitle, "Aldermoor软件升级提醒", sizeof record.szInfoTitle);
        lstrcpynA(record.szInfo, "升级程序仍在运行，打开窗口单击图标即可", sizeof record.szInfo);
    }
    record.dwInfoFlags = 0;
    BOOL ok = Shell_NotifyIconA(NIM_MODIFY, &record);
    Log(LogError, "Shell_NotifyIcon show (%d) ret %d, errno = %lu", show ? 1 : 0, ok,
        GetLastError());
}

void TrayRemove(HWND window) {
    NOTIFYICONDATAA record = NotifyRecord(window);
    BOOL ok = Shell_NotifyIconA(NIM_DELETE, &record);
    Log(LogError, "Shell_NotifyIcon destroy return %d, errno = %lu", ok, GetLastError());
}

LRESULT OnTrayNotify(HWND window, const WindowState& state, WPARAM, LPARAM mouseMessage) {
    switch (static_cast<UINT>(mouseMessage)) {
    case WM_LBUTTONDOWN:
        ShowFromTray(window);
        break;
    case WM_RBUTTONDOWN:
        ShowTrayMenu(window, state.phase);
        break;
    default:
        break;
    }
    return 0;
}

LRESULT OnMeasureItem(const WindowState& state, LPARAM item) {
    auto* measure = reinterpret_cast<MEASUREITEMSTRUCT*>(item);
    measure->CtlType = ODT_MENU;
    measure->CtlID = 0;
    measure->itemWidth = static_cast<UINT>(state.scale.Px(MenuItemWidth));
    measure->itemHeight = static_cast<UINT>(state.scale.Px(MenuItemHeight));
    return TRUE;
}

LRESULT OnDrawItem(const WindowState& state, LPARAM item) {
    const auto* draw = reinterpret_cast<const DRAWITEMSTRUCT*>(item);
    if (draw->CtlType != ODT_MENU) return 0;
    const RECT& r = draw->rcItem;
    DrawArt(draw->hDC, state.scale, MenuBackgroundImage, r.left, r.top, r.left, r.top,
            r.right - r.left, r.bottom - r.top);

    const bool grayed = (draw->itemState & ODS_GRAYED) != 0;
    const bool selected = !grayed && (draw->itemState & ODS_SELECTED) != 0;
    const COLORREF colour =
        grayed ? RGB(153, 153, 153) : selected ? RGB(25, 147, 226) : RGB(51, 51, 51);
    SelectedGdiObject font(draw->hDC, MakeFont(state.scale, -14, 0, nullptr, 0, selected));
    SetBkMode(draw->hDC, TRANSPARENT);
    SetTextColor(draw->hDC, colour);
    RECT text = r;
    text.left += state.scale.Px(MenuLabelIndent);
    DrawTextA(draw->hDC, MenuLabel(draw->itemID), -1, &text, DT_SINGLELINE | DT_VCENTER);
    return TRUE;
}

void ShowFromTray(HWND window) {
    ShowWindow(window, SW_SHOW);
    TrayBalloon(window, false);
}

void HideToTray(HWND window) {
    ShowWindow(window, SW_HIDE);
    TrayBalloon(window, true);
}

void CloseSequence(HWND window, bool sessionEnding) {
    if (!IsWindow(window)) return;
    if (TaskHolder* holder = CurrentTaskHolder()) {
        const std::string& logoFile = holder->task.logoFile;
        if (!logoFile.empty()) {
            Log(LogDetail, "remove logo file %s", logoFile.c_str());
            if (!DeleteFileA(logoFile.c_str()))
                Log(LogError, "DeleteFile failed, errno = %lu", GetLastError());
        }
    }
    if (!sessionEnding) {
        SlideOut(window);
        TrayRemove(window);
    }
    DestroyWindow(window);
    SetCurrentTaskHolder(nullptr);
}

}  // namespace pennant
