// The pop-up's layout, fonts, pens and art are designed in pixels at 96 DPI.
// This is the one door through which they reach a display of another scale:
// whatever is drawn or placed is converted here and nowhere else.
#pragma once

#include <windows.h>

namespace pennant {

class DisplayScale {
public:
    static constexpr int DesignDpi = USER_DEFAULT_SCREEN_DPI;

    explicit DisplayScale(int dpi = DesignDpi) : dpi_(dpi > 0 ? dpi : DesignDpi) {}

    // The DPI `window` is shown at: GetDpiForWindow where the system has it
    // (Windows 10 1607 and later); else, on Windows 8.1 to 10 1511, where
    // the manifest makes the pop-up per-monitor aware (v1) and monitors have
    // scales of their own, the scale of the window's monitor (a window is
    // sent WM_DPICHANGED only when that scale changes, not when it is
    // created); else the screen's LOGPIXELSX, the one DPI of Windows 7.
    static DisplayScale OfWindow(HWND window);

    int Dpi() const { return dpi_; }

    // A 96-DPI length at this scale, rounded half away from zero; negative
    // font heights (character heights) scale the same way.
    int Px(int at96) const { return MulDiv(at96, dpi_, DesignDpi); }

    // A 96-DPI rectangle at this scale: each edge scaled, so rectangles
    // that meet at 96 DPI still meet.
    RECT Rect(const RECT& at96) const {
        return RECT{Px(at96.left), Px(at96.top), Px(at96.right), Px(at96.bottom)};
    }

    // The art of the PNG resources exists at 96, 144 and 192 DPI; this picks
    // the smallest that is not smaller than the display (art filtered down
    // keeps its edges, art blown up blurs).
    int ArtDpi() const;

    // A length in pixels of the display as pixels of the art of ArtDpi().
    int ToArt(int px) const { return MulDiv(px, ArtDpi(), dpi_); }

    // Resource id of image `imageId` as drawn at ArtDpi(): the larger art
    // sits 1000 (144 DPI) and 2000 (192 DPI) above the 96-DPI image.
    int ArtId(int imageId) const;

    // Edge length of a small icon (the notification area's) at this scale.
    int SmallIconSize() const;

private:
    int dpi_;
};

}  // namespace pennant
