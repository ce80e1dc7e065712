// The notification-area icon with its balloon and owner-drawn menu, the two
// title-strip buttons, and the close sequence that ends the window.
#pragma once

#include "ui/WindowState.h"

#include <windows.h>

namespace pennant {

// How an OS version is classified for the shell's notification record.
struct OsClass {
    DWORD recordSize;  // cbSize of NOTIFYICONDATAA the shell of that OS accepts
    const char* name;  // the "... detected" log text, null when none is logged
};

// Pure classification of GetVersionExA's platform id and version numbers.
OsClass ClassifyOs(DWORD platformId, DWORD major, DWORD minor);

// Byte size of the shell's notification record for this OS; logs how the
// OS was classified.
DWORD OsVersionProbe();

// Adds icon 1 of the window to the notification area, drawn for the
// window's display scale.
void TrayAdd(HWND window);

// Shows the "still running" balloon, or removes a balloon that is showing.
void TrayBalloon(HWND window, bool show);

// Removes the icon.
void TrayRemove(HWND window);

// WM_TRAY_NOTIFY: left button shows the window, right button opens the menu.
// The menu's items are enabled by the state's phase.
LRESULT OnTrayNotify(HWND window, const WindowState& state, WPARAM iconId, LPARAM mouseMessage);

// WM_MEASUREITEM and WM_DRAWITEM for the tray menu's items, at the pop-up's scale.
LRESULT OnMeasureItem(const WindowState& state, LPARAM item);
LRESULT OnDrawItem(const WindowState& state, LPARAM item);

// Command 121 (and a left click on the icon): show the window, drop the balloon.
void ShowFromTray(HWND window);

// Command 123: hide the window to the tray with the balloon.
void HideToTray(HWND window);

// Deletes the logo file, slides the window out, removes the icon, destroys
// the window and releases the task. The only way the window ends. When the
// session ends, neither slide nor icon: the notification area goes with the
// session, and a shell busy ending it may keep the call waiting for seconds.
void CloseSequence(HWND window, bool sessionEnding = false);

}  // namespace pennant
