// The pop-up's one state record: owned by the controller (one per main
// window), handed to painting, the views and the tray menu. The main thread
// alone reads and writes it; no other thread ever sees it.
#pragma once

#include "app/Codes.h"
#include "app/Handles.h"
#include "ui/DisplayScale.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace pennant {

// Bytes of the status line's GBK text, terminator included.
constexpr size_t StatusTextSize = 512;

struct WindowState {
    int32_t phase = Offer;
    int32_t status = 0;  // the feedback status of the outcome so far
    int32_t exitCode = ExitSuccess;
    char statusText[StatusTextSize] = {};
    // Pixels at 96 DPI (drawn at the pop-up's scale); moves up when the window shrinks.
    RECT statusRect = {20, 366, 320, 394};
    bool collapsed = false;  // shrunk once the upgrade was accepted, for good
    bool slidIn = false;     // risen into the work area (before: waiting below it)
    // The scale the pop-up is laid out and drawn at: its display's from
    // WM_CREATE on, the new one at each WM_DPICHANGED.
    DisplayScale scale;
    // The description box's font: the box keeps the font it is given, so it
    // lives as long as the window, or until the window's scale changes.
    UniqueGdiObject descriptionFont;
};

}  // namespace pennant
