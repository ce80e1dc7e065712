// The pop-up window: placement, child controls and motions at the scale kept
// in its WindowState; the art and fonts it draws with are in ui/Art.h. Main
// thread only.
#pragma once

#include "ui/Art.h"
#include "ui/WindowState.h"

#include <windows.h>

namespace pennant {

// WM_CREATE: takes the window's display scale into `state` and lends it to
// the child controls, places the window below the work area, creates the
// controls and lets dragged windows show their contents. The description
// box's font is kept in `state`.
void CreateWindowContents(HWND window, WindowState& state);

// WM_DPICHANGED (the window went to a monitor of another scale): lays the
// window out again at the new scale and puts it back into that monitor's
// corner, risen or still below the work area as it was.
LRESULT OnDpiChanged(HWND window, WindowState& state, WPARAM dpis, LPARAM suggested);

// WM_DESTROY: takes the lent scale back and releases what the window kept
// for its lifetime.
void ReleaseWindowContents(HWND window, WindowState& state);

// Shows the window and raises it by its full height into the primary
// monitor's work area; from now on `state` knows it has risen.
void SlideIn(HWND window, WindowState& state);

// Moves the footer controls and the state's status line up and shrinks the
// window to 360 x 170 (at the scale), keeping its bottom edge.
void CollapseWindow(HWND window, WindowState& state);

// Lets the window sink by a tenth of its height, 20 times.
void SlideOut(HWND window);

// WM_LBUTTONDOWN on the panel itself: drag it like a caption.
void DragWindow(HWND window);

}  // namespace pennant
