#include "workflow/Controller.h"

#include "app/Codes.h"
#include "app/Log.h"
#include "app/Task.h"

namespace pennant {
namespace {

// Ends the program: ExitCommand and the end of the Windows session.
void EndProgram(HWND window) {
    if (phase != NetworkLost) {
        status = Cancelled;
        ExitCode = ExitCancelled;
    }
    phase = Closing;
    DestroyWindow(window);
}

void OnCommand(HWND window, WPARAM wParam) {
    if (HIWORD(wParam) != 0) return;
    switch (LOWORD(wParam)) {
    case ExitCommand:
        if (phase != Installing) EndProgram(window);
        break;
    default:
        break;
    }
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_TASK_READY:
        phase = Offer;
        return 0;
    case WM_COMMAND:
        OnCommand(window, wParam);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(ExitCode);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace pennant
