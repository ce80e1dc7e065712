#include "ui/TestHooks.h"

#ifdef PENNANT_TEST_HOOKS

#include "app/Codes.h"
#include "app/Task.h"
#include "ui/Painting.h"
#include "ui/Window.h"

namespace pennant {
namespace {

WPARAM lastCommand = 0;

// The binary check looks for these bytes: present in every test build's
// pennant.exe, absent from the deliverable.
[[gnu::used]] const char hooksMarker[] = "PENNANT_TEST_HOOKS compiled in";

}  // namespace

LRESULT OnTestCopyData(HWND window, WindowState& state, LPARAM copyData) {
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(copyData);
    if (!data || data->dwData != TestPhaseData || data->cbData != sizeof(TestPhaseRecord))
        return FALSE;
    TestPhaseRecord record = *static_cast<const TestPhaseRecord*>(data->lpData);
    record.statusText[sizeof record.statusText - 1] = '\0';
    record.logoFile[sizeof record.logoFile - 1] = '\0';

    state.phase = record.phase;
    state.status = record.status;
    if (TaskHolder* holder = CurrentTaskHolder()) {
        if (record.logoFile[0] != '\0') holder->task.logoFile = record.logoFile;
        if (record.size > 0) holder->task.size = record.size;
    }
    if (record.collapse == 1 && !state.collapsed) CollapseWindow(window, state);
    SetStatusText(window, state, record.statusText);
    UpdateViews(window, state);
    if (record.show == 1) ShowWindow(window, SW_SHOW);
    if (record.show == 0) ShowWindow(window, SW_HIDE);
    InvalidateRect(window, nullptr, TRUE);
    return TRUE;
}

void RecordCommand(WPARAM wParam) { lastCommand = wParam; }

LRESULT LastCommand() { return static_cast<LRESULT>(lastCommand); }

LRESULT StateOfWindow(const WindowState& state) {
    return static_cast<LRESULT>((state.phase & 0xff) | (state.status & 0xff) << 8 |
                                (state.exitCode & 0xff) << 16);
}

LRESULT StatusTextAtom(const WindowState& state) {
    char text[256] = {};
    lstrcpynA(text, state.statusText, sizeof text);
    return text[0] == '\0' ? 0 : static_cast<LRESULT>(GlobalAddAtomA(text));
}

LRESULT HandCursorShown() {
    return GetCursor() == LoadCursorA(nullptr, MAKEINTRESOURCEA(32649)) ? 1 : 0;  // IDC_HAND
}

}  // namespace pennant

#endif
