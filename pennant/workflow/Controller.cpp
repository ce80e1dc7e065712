#include "workflow/Controller.h"

#include "app/Codes.h"
#include "app/Log.h"
#include "app/Task.h"
#include "http/Feedback.h"
#include "ui/Painting.h"
#include "ui/TestHooks.h"
#include "ui/Tray.h"
#include "ui/Window.h"

namespace pennant {
namespace {

// The window's state, from WM_NCCREATE until WM_NCDESTROY.
WindowState* StateOf(HWND window) {
    return reinterpret_cast<WindowState*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

LRESULT OnNcCreate(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new WindowState));
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT OnNcDestroy(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    delete StateOf(window);
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT OnCreate(HWND window) {
    CreateWindowContents(window);
    SetTimer(window, OfferTimer, OfferTimerPeriodMs, nullptr);
    return 0;
}

// The task is loaded: fill in the offer and let it rise into view.
LRESULT OnTaskReady(HWND window, WindowState& state) {
    if (const TaskHolder* holder = CurrentTaskHolder())
        ShowDescription(window, holder->task.description);
    state.SetPhase(Offer);
    UpdateViews(window, state);
    SlideIn(window);
    return 0;
}

LRESULT OnDownloadProgress(HWND window, WPARAM percent) {
    ShowProgress(window, static_cast<int>(percent));
    return 0;
}

// Ends the program: ExitCommand and the end of the Windows session. The
// state is gone once the close sequence has destroyed the window.
void EndProgram(HWND window, WindowState& state) {
    if (state.phase != NetworkLost) {
        state.status = Cancelled;
        state.exitCode = ExitCancelled;
    }
    state.SetPhase(Closing);
    PostStatus(state.status);
    CloseSequence(window);
}

LRESULT OnCommand(HWND window, WindowState& state, WPARAM wParam) {
#ifdef PENNANT_TEST_HOOKS
    RecordCommand(wParam);
#endif
    if (HIWORD(wParam) != 0) return 0;
    switch (LOWORD(wParam)) {
    case ExitCommand:
        if (state.phase != Installing) EndProgram(window, state);
        break;
    case ShowWindowCommand:
        ShowFromTray(window);
        break;
    case CloseCommand:
        OnCloseButton(window, state);
        break;
    case MinimizeCommand:
        HideToTray(window);
        break;
    default:
        break;
    }
    return 0;
}

LRESULT OnPaint(HWND window, const WindowState& state) {
    PaintMainWindow(window, state);
    return 0;
}

LRESULT OnLeftButtonDown(HWND window) {
    DragWindow(window);
    return 0;
}

LRESULT OnDestroy(const WindowState& state) {
    ReleaseWindowContents();
    PostQuitMessage(state.exitCode);
    return 0;
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) return OnNcCreate(window, message, wParam, lParam);
    WindowState* found = StateOf(window);
    if (!found) return DefWindowProcA(window, message, wParam, lParam);
    WindowState& state = *found;
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_PAINT:
        return OnPaint(window, state);
    case WM_LBUTTONDOWN:
        return OnLeftButtonDown(window);
    case WM_TASK_READY:
        return OnTaskReady(window, state);
    case WM_DOWNLOAD_PROGRESS:
        return OnDownloadProgress(window, wParam);
    case WM_TRAY_NOTIFY:
        return OnTrayNotify(window, state, wParam, lParam);
    case WM_MEASUREITEM:
        return OnMeasureItem(lParam);
    case WM_DRAWITEM:
        return OnDrawItem(lParam);
    case WM_COMMAND:
        return OnCommand(window, state, wParam);
    case WM_DESTROY:
        return OnDestroy(state);
    case WM_NCDESTROY:
        return OnNcDestroy(window, message, wParam, lParam);
#ifdef PENNANT_TEST_HOOKS
    case WM_COPYDATA:
        return OnTestCopyData(window, state, lParam);
    case WM_TEST_LAST_COMMAND:
        return LastCommand();
    case WM_TEST_HAND_CURSOR:
        return HandCursorShown();
#endif
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace pennant
