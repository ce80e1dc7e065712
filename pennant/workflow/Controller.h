// The main window procedure: the controller that moves the task through its
// phases and dispatches drawing and tray messages to the window code.
#pragma once

#include <windows.h>

namespace pennant {

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace pennant
