// Test build only: lets the display tests put the window into any phase and
// see which commands reached it. The deliverable carries none of this.
#pragma once

#ifdef PENNANT_TEST_HOOKS

#include "ui/WindowState.h"

#include <windows.h>

#include <cstdint>

namespace pennant {

// WM_COPYDATA with this dwData carries a TestPhaseRecord.
constexpr ULONG_PTR TestPhaseData = 0x50484153;

struct TestPhaseRecord {
    int32_t phase;
    int32_t status;
    int32_t show;             // 1 show, 0 hide, anything else leaves it
    int32_t collapse;         // 1: shrink the window first (once)
    char statusText[512];     // GBK
    char logoFile[MAX_PATH];  // replaces the task's logo file when not empty
    int64_t size;             // replaces the installer size when positive
};

// Answered with the wParam of the last WM_COMMAND the window received (0: none).
constexpr UINT WM_TEST_LAST_COMMAND = WM_USER + 201;

// Answered with 1 while the window's thread shows the hand cursor, else 0.
constexpr UINT WM_TEST_HAND_CURSOR = WM_USER + 202;

// Answered with phase | status << 8 | exit code << 16 (each a byte).
constexpr UINT WM_TEST_STATE = WM_USER + 203;

// Answered with a global atom holding the status line's first 255 bytes (0
// when it is empty); the asker reads and deletes it.
constexpr UINT WM_TEST_STATUS_TEXT = WM_USER + 204;

// Applies a TestPhaseRecord: phase, status, status line and logo; shrinks the
// window when asked; updates the views.
LRESULT OnTestCopyData(HWND window, WindowState& state, LPARAM copyData);

void RecordCommand(WPARAM wParam);
LRESULT LastCommand();
LRESULT HandCursorShown();
LRESULT StateOfWindow(const WindowState& state);
LRESULT StatusTextAtom(const WindowState& state);

}  // namespace pennant

#endif
