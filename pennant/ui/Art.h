// The pop-up's art, fonts and layout measures: what the window's construction
// and its painting both draw with, each at the scale it is given (the
// pop-up's, kept in its WindowState). Main thread only.
#pragma once

#include "ui/DisplayScale.h"

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

// The layout in pixels at 96 DPI; the pop-up's DisplayScale converts it for the display.
constexpr int WindowWidth = 360;
constexpr int FullHeight = 450;
constexpr int ShrunkHeight = 170;
constexpr int ShrinkOffset = 280;
constexpr int WorkAreaRightMargin = 380;  // window's left edge from the work area's right edge

// The scale of the pop-up `window` (its WindowState's, which the window
// lends its child controls from WM_CREATE to WM_DESTROY); 96 DPI for a
// window that lends none.
const DisplayScale& ScaleOf(HWND window);

// WM_CREATE and WM_DESTROY: lends the state's scale to the window's
// controls, and takes it back.
void LendScale(HWND window, const DisplayScale* scale);

// Draws the region (sourceX, sourceY, width, height) of PNG resource `imageId`
// at (x, y). A missing or undecodable image draws nothing.
void DrawPngResource(HDC dc, HINSTANCE instance, int imageId, int x, int y, int sourceX,
                     int sourceY, int width, int height);

// DrawPngResource at `scale`: all coordinates are pixels of the
// display, the image is the art drawn nearest the scale, filtered to size
// where the display lies between the drawn scales.
void DrawArt(HDC dc, const DisplayScale& scale, int imageId, int x, int y, int sourceX,
             int sourceY, int width, int height);

// Draws the logo file (ANSI path) at (11, 37) scaled to 32 x 32 (at the
// scale); an empty path or a file that does not decode draws nothing.
void DrawLogo(HDC dc, const DisplayScale& scale, const std::string& path);

// A LOGFONTA of the GB2312 character set with the given height at 96 DPI
// (made for `scale`), weight and face (null: the system's choice).
HFONT MakeFont(const DisplayScale& scale, int height, int weight, const char* face,
               BYTE pitchAndFamily = 0, bool underline = false);

}  // namespace pennant
