// The main window procedure: the controller that moves the task through its
// phases and dispatches drawing and tray messages to the window code.
#pragma once

#include <windows.h>

namespace pennant {

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// How long the program may still wait for its reports once the window is
// gone: a few seconds, or what is left of the session end's deadline.
DWORD ReportWaitAtExitMs();

}  // namespace pennant
