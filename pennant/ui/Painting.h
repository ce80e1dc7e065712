// Everything the pop-up shows is drawn here: the main window's background and
// text lines, the image buttons, the progress bar and the percentage.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace pennant {

// Attached as user data to every image button; freed on WM_NCDESTROY.
struct ImageButtonData {
    int32_t tracking;  // 1: request hover and leave tracking on the next mouse move
    COLORREF labelColour;
    int32_t width;
    int32_t height;
    int32_t normalImage;
    int32_t hoverImage;
    WNDPROC previous;
};

// Replacement procedures of the subclassed controls.
LRESULT CALLBACK TextButtonProc(HWND button, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK IconButtonProc(HWND button, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK ProgressBarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK PercentLabelProc(HWND label, UINT message, WPARAM wParam, LPARAM lParam);

// The main window's WM_PAINT: background of the phase, logo, title, the size
// and version line of the offer, and the status line.
void PaintMainWindow(HWND window);

// Shows the controls of the current phase and hides the others.
void UpdateViews(HWND window);

// Sets the progress bar to `percent` (0..100) and the percentage to "p%".
void ShowProgress(HWND window, int percent);

// Replaces the status line (cut to 511 bytes of GBK text) and repaints it.
void SetStatusText(HWND window, const char* text);

// The task's UTF-8 description as UTF-16 with every LF turned into CR LF.
std::wstring DescriptionText(const std::string& utf8);

// Puts the description into the description box.
void ShowDescription(HWND window, const std::string& utf8);

}  // namespace pennant
