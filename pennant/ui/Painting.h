// Everything the pop-up shows is drawn here: the main window's background and
// text lines, the image buttons, the progress bar and the percentage.
#pragma once

#include "ui/WindowState.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace pennant {

// Turns a static control into an image button drawn from PNG resources
// `normalImage` and `hoverImage`, with its text as a label in `labelColour`
// when `textKind`. Its record lives until the control's WM_NCDESTROY.
void MakeImageButton(HWND control, COLORREF labelColour, int normalImage, int hoverImage,
                     bool textKind);

// Lets an image button draw its images at the size the control has now
// (after the pop-up's scale changed); other controls are left alone.
void FitImageButton(HWND control);

// Replacement procedures of the subclassed controls.
LRESULT CALLBACK ProgressBarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK PercentLabelProc(HWND label, UINT message, WPARAM wParam, LPARAM lParam);

// The main window's WM_PAINT: background of the phase, logo, title, the size
// and version line of the offer, and the status line.
void PaintMainWindow(HWND window, const WindowState& state);

// Shows the controls of the state's phase and hides the others.
void UpdateViews(HWND window, const WindowState& state);

// Sets the progress bar to `percent` (0..100) and the percentage to "p%".
void ShowProgress(HWND window, int percent);

// Replaces the state's status line (cut to 511 bytes of GBK text) and
// repaints it.
void SetStatusText(HWND window, WindowState& state, const char* text);

// The task's UTF-8 description as UTF-16 with every LF turned into CR LF.
std::wstring DescriptionText(const std::string& utf8);

// Puts the description into the description box.
void ShowDescription(HWND window, const std::string& utf8);

}  // namespace pennant
