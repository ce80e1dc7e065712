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

LRESULT OnCreate(HWND window) {
    CreateWindowContents(window);
    SetTimer(window, OfferTimer, OfferTimerPeriodMs, nullptr);
    return 0;
}

// The task is loaded: fill in the offer and let it rise into view.
LRESULT OnTaskReady(HWND window) {
    if (const TaskHolder* holder = CurrentTaskHolder())
        ShowDescription(window, holder->task.description);
    phase = Offer;
    UpdateViews(window);
    SlideIn(window);
    return 0;
}

LRESULT OnDownloadProgress(HWND window, WPARAM percent) {
    ShowProgress(window, static_cast<int>(percent));
    return 0;
}

// Ends the program: ExitCommand and the end of the Windows session.
void EndProgram(HWND window) {
    if (phase != NetworkLost) {
        status = Cancelled;
        ExitCode = ExitCancelled;
    }
    phase = Closing;
    PostStatus(status);
    CloseSequence(window);
}

LRESULT OnCommand(HWND window, WPARAM wParam) {
#ifdef PENNANT_TEST_HOOKS
    RecordCommand(wParam);
#endif
    if (HIWORD(wParam) != 0) return 0;
    switch (LOWORD(wParam)) {
    case ExitCommand:
        if (phase != Installing) EndProgram(window);
        break;
    case ShowWindowCommand:
        ShowFromTray(window);
        break;
    case CloseCommand:
        OnCloseButton(window);
        break;
    case MinimizeCommand:
        HideToTray(window);
        break;
    default:
        break;
    }
    return 0;
}

LRESULT OnPaint(HWND window) {
    PaintMainWindow(window);
    return 0;
}

LRESULT OnLeftButtonDown(HWND window) {
    DragWindow(window);
    return 0;
}

LRESULT OnDestroy() {
    ReleaseWindowContents();
    PostQuitMessage(ExitCode);
    return 0;
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_PAINT:
        return OnPaint(window);
    case WM_LBUTTONDOWN:
        return OnLeftButtonDown(window);
    case WM_TASK_READY:
        return OnTaskReady(window);
    case WM_DOWNLOAD_PROGRESS:
        return OnDownloadProgress(window, wParam);
    case WM_TRAY_NOTIFY:
        return OnTrayNotify(window, wParam, lParam);
    case WM_MEASUREITEM:
        return OnMeasureItem(lParam);
    case WM_DRAWITEM:
        return OnDrawItem(lParam);
    case WM_COMMAND:
        return OnCommand(window, wParam);
    case WM_DESTROY:
        return OnDestroy();
#ifdef PENNANT_TEST_HOOKS
    case WM_COPYDATA:
        return OnTestCopyData(window, lParam);
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
