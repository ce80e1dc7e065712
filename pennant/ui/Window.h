// The pop-up window: placement, child controls, motions and the two drawing
// routines every painted surface uses. Main thread only.
#pragma once

#include "ui/WindowState.h"

#include <windows.h>

#include <string>

namespace pennant {

// Image resources (type "PNG") of the executable.
enum ImageId : int {
    FullBackgroundImage = 132,
    ShrunkBackgroundImage = 161,
    BlueButtonImage = 146,
    BlueButtonHoverImage = 147,
    GreyButtonImage = 148,
    GreyButtonHoverImage = 149,
    CloseGlyphImage = 130,
    CloseGlyphHoverImage = 131,
    MinimizeGlyphImage = 162,
    MinimizeGlyphHoverImage = 163,
    WarningMarkImage = 155,
    MenuBackgroundImage = 157,
};

// Control ids that are no command.
constexpr int ProgressBarId = 119;
constexpr int PercentLabelId = 120;

constexpr int WindowWidth = 360;
constexpr int FullHeight = 450;
constexpr int ShrunkHeight = 170;
constexpr int ShrinkOffset = 280;
constexpr int WorkAreaRightMargin = 380;  // window's left edge from the work area's right edge

// WM_CREATE: places the window below the work area, creates the child
// controls and lets dragged windows show their contents.
void CreateWindowContents(HWND window);

// WM_DESTROY: releases what the window kept for its lifetime.
void ReleaseWindowContents();

// Shows the window and raises it 450 pixels into the work area.
void SlideIn(HWND window);

// Moves the footer controls and the state's status line up and shrinks the
// window to 360 x 170, keeping its bottom edge.
void CollapseWindow(HWND window, WindowState& state);

// Lets the window sink by a tenth of its height, 20 times.
void SlideOut(HWND window);

// WM_LBUTTONDOWN on the panel itself: drag it like a caption.
void DragWindow(HWND window);

// Draws the region (sourceX, sourceY, width, height) of PNG resource `imageId`
// at (x, y). A missing or undecodable image draws nothing.
void DrawPngResource(HDC dc, HINSTANCE instance, int imageId, int x, int y, int sourceX,
                     int sourceY, int width, int height);

// Draws the logo file (ANSI path) at (11, 37) scaled to 32 x 32; an empty path
// or a file that does not decode draws nothing.
void DrawLogo(HDC dc, const std::string& path);

// A LOGFONTA of the GB2312 character set with the given height, weight and
// face (null: the system's choice).
HFONT MakeFont(int height, int weight, const char* face, BYTE pitchAndFamily = 0,
               bool underline = false);

}  // namespace pennant
