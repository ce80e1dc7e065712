#include "ui/Window.h"

#include "app/Codes.h"
#include "app/Handles.h"
#include "app/Log.h"
#include "ui/Painting.h"

#include <windows.h>
#include <commctrl.h>


namespace pennant {

namespace {

constexpr int SlideInSteps = 45;
constexpr int SlideOutSteps = 20;
constexpr DWORD MotionPauseMs = 10;

constexpr DWORD ImageButtonStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | SS_OWNERDRAW |
                                   SS_NOTIFY;

struct ControlLayout {
    int id;
    const char* className;
    const char* text;
    DWORD style;
    int x, y, width, height;
};

// Created in this order; the footer buttons 113 and 115 to 118 share one place.
const ControlLayout controlLayouts[] = {
    {DescriptionEditId, "EDIT", "",
     WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | ES_MULTILINE | ES_AUTOVSCROLL, 11, 132, 338, 258},
    {UpgradeCommand, "STATIC", "立即升级", ImageButtonStyle, 56, 413, 106, 26},
    {RefuseCommand, "STATIC", "残忍拒绝", ImageButtonStyle, 179, 413, 106, 26},
    {PauseCommand, "STATIC", "暂停下载", ImageButtonStyle, 179, 413, 106, 26},
    {ResumeCommand, "STATIC", "继续下载", ImageButtonStyle, 179, 413, 106, 26},
    {RetryCommand, "STATIC", "重试", ImageButtonStyle, 179, 413, 106, 26},
    {DoneCommand, "STATIC", "完成", ImageButtonStyle, 179, 413, 106, 26},
    {ProgressBarId, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 25, 378, 260, 8},
    {PercentLabelId, "STATIC", "", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | SS_OWNERDRAW, 310,
     374, 30, 15},
    {MinimizeCommand, "STATIC", "", ImageButtonStyle, 303, 1, 28, 24},
    {CloseCommand, "STATIC", "", ImageButtonStyle, 331, 1, 28, 24},
};

struct ButtonLook {
    int id;
    COLORREF labelColour;
    int normalImage;
    int hoverImage;
    bool textKind;
};

const ButtonLook buttonLooks[] = {
    {UpgradeCommand, RGB(255, 255, 255), BlueButtonImage, BlueButtonHoverImage, true},
    {RefuseCommand, RGB(25, 147, 226), GreyButtonImage, GreyButtonHoverImage, true},
    {PauseCommand, RGB(255, 255, 255), BlueButtonImage, BlueButtonHoverImage, true},
    {ResumeCommand, RGB(25, 147, 226), GreyButtonImage, GreyButtonHoverImage, true},
    {RetryCommand, RGB(255, 255, 255), BlueButtonImage, BlueButtonHoverImage, true},
    {DoneCommand, RGB(25, 147, 226), GreyButtonImage, GreyButtonHoverImage, true},
    {MinimizeCommand, 0, MinimizeGlyphImage, MinimizeGlyphHoverImage, false},
    {CloseCommand, 0, CloseGlyphImage, CloseGlyphHoverImage, false},
};

// Replaces the control's procedure and keeps the previous one as its user data.
void Subclass(HWND control, WNDPROC procedure) {
    LONG_PTR previous = SetWindowLongPtrA(control, GWLP_WNDPROC,
                                          reinterpret_cast<LONG_PTR>(procedure));
    SetWindowLongPtrA(control, GWLP_USERDATA, previous);
}

struct ControlPlace {
    int x, y, width, height;
};

// Where a control sits at the pop-up's scale, in the full window or in the
// shrunk one, where every control but the description box and the two
// title-strip buttons sits ShrinkOffset higher. The size is the scaled
// 96-DPI size, the size the art is drawn at.
ControlPlace PlaceOf(const DisplayScale& scale, const ControlLayout& layout, bool collapsed) {
    const bool staysPut = layout.id == DescriptionEditId || layout.id == MinimizeCommand ||
                          layout.id == CloseCommand;
    const int y = collapsed && !staysPut ? layout.y - ShrinkOffset : layout.y;
    return ControlPlace{scale.Px(layout.x), scale.Px(y), scale.Px(layout.width),
                        scale.Px(layout.height)};
}

void PlaceControl(HWND window, const DisplayScale& scale, const ControlLayout& layout,
                  bool collapsed) {
    HWND control = GetDlgItem(window, layout.id);
    if (!control) return;
    const ControlPlace place = PlaceOf(scale, layout, collapsed);
    MoveWindow(control, place.x, place.y, place.width, place.height, FALSE);
    FitImageButton(control);
}

const ControlLayout* LayoutOf(int id) {
    for (const ControlLayout& layout : controlLayouts)
        if (layout.id == id) return &layout;
    return nullptr;
}

// The edit control keeps the font it is given: a new one for each scale,
// handed over before the old one goes.
void SetDescriptionFont(HWND window, WindowState& state) {
    HWND edit = GetDlgItem(window, DescriptionEditId);
    if (!edit) return;
    HFONT font = CreateFontA(state.scale.Px(-12), 0, 0, 0, 0, FALSE, FALSE, FALSE, GB2312_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FF_SWISS,
                             "微软雅黑");
    SendMessageA(edit, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    state.descriptionFont.Reset(font);
}

void CreateControls(HWND window, WindowState& state) {
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
    for (const ControlLayout& layout : controlLayouts) {
        const ControlPlace place = PlaceOf(state.scale, layout, false);
        HWND control = CreateWindowExA(0, layout.className, layout.text, layout.style, place.x,
                                       place.y, place.width, place.height, window,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(layout.id)),
                                       instance, nullptr);
        if (!control) {
            Log(LogError, "create control %d failed, errno = %lu", layout.id, GetLastError());
            continue;
        }
        if (layout.id == DescriptionEditId) {
            SetDescriptionFont(window, state);
        } else if (layout.id == ProgressBarId) {
            SendMessageA(control, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
            Subclass(control, ProgressBarProc);
        } else if (layout.id == PercentLabelId) {
            Subclass(control, PercentLabelProc);
        } else {
            for (const ButtonLook& look : buttonLooks)
                if (look.id == layout.id)
                    MakeImageButton(control, look.labelColour, look.normalImage, look.hoverImage,
                                    look.textKind);
        }
    }
}

RECT WorkAreaOf(const RECT& around) {
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoA(MonitorFromRect(&around, MONITOR_DEFAULTTONEAREST), &info)) {
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &info.rcWork, 0);
    }
    return info.rcWork;
}

// The primary monitor (it holds the origin): the pop-up waits below its
// work area until it rises.
constexpr RECT PrimaryMonitorPoint = {0, 0, 1, 1};

// The pop-up's place in the corner of the work area of the monitor nearest
// `around`: its left edge WorkAreaRightMargin left of the area's right edge,
// risen into the area by `height` or waiting just below it.
POINT CornerOf(const DisplayScale& scale, const RECT& around, int height, bool risen) {
    const RECT work = WorkAreaOf(around);
    return POINT{work.right - scale.Px(WorkAreaRightMargin),
                 risen ? work.bottom - height : work.bottom};
}

}  // namespace

void CreateWindowContents(HWND window, WindowState& state) {
    state.scale = DisplayScale::OfWindow(window);
    LendScale(window, &state.scale);
    const POINT corner = CornerOf(state.scale, PrimaryMonitorPoint, 0, false);
    SetWindowPos(window, HWND_TOPMOST, corner.x, corner.y, state.scale.Px(WindowWidth),
                 state.scale.Px(FullHeight), SWP_SHOWWINDOW);
    CreateControls(window, state);
    SystemParametersInfoA(SPI_SETDRAGFULLWINDOWS, TRUE, nullptr, 0);
}

LRESULT OnDpiChanged(HWND window, WindowState& state, WPARAM dpis, LPARAM suggested) {
    const RECT& target = *reinterpret_cast<const RECT*>(suggested);
    RECT now;
    GetWindowRect(window, &now);
    // A pop-up the user has dragged away goes where the system suggests; one
    // in its corner (risen, or still waiting below the work area) stays there.
    const bool risen = now.top < WorkAreaOf(now).bottom;
    const POINT oldCorner = CornerOf(state.scale, now, now.bottom - now.top, risen);
    const bool inCorner = now.left == oldCorner.x && (!risen || now.top == oldCorner.y);
    // Before it rises (also inside WM_CREATE, whose placement below the
    // primary's work area may put it on a monitor below) it stays there: a
    // scale of that monitor is taken, the primary's comes back on the rise.
    const bool waiting = !state.slidIn;

    state.scale = DisplayScale(HIWORD(dpis));
    const int width = state.scale.Px(WindowWidth);
    const int height = state.scale.Px(state.collapsed ? ShrunkHeight : FullHeight);
    const POINT corner = waiting ? CornerOf(state.scale, PrimaryMonitorPoint, height, false)
                                 : CornerOf(state.scale, target, height, risen);
    SetWindowPos(window, nullptr, inCorner || waiting ? corner.x : target.left,
                 inCorner || waiting ? corner.y : target.top, width, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    for (const ControlLayout& layout : controlLayouts)
        PlaceControl(window, state.scale, layout, state.collapsed);
    SetDescriptionFont(window, state);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    return 0;
}

void ReleaseWindowContents(HWND window, WindowState& state) {
    LendScale(window, nullptr);
    state.descriptionFont.Reset();
}

void SlideIn(HWND window, WindowState& state) {
    state.slidIn = true;
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    // 45 steps of the full height (10 pixels each at 96 DPI) up from below
    // the primary's work area. Each step takes the height of now: a pop-up
    // that rises into a monitor of another scale is laid out anew on the way
    // (WM_DPICHANGED) and goes on at that scale.
    for (int i = 0; i < SlideInSteps; ++i) {
        RECT r;
        GetWindowRect(window, &r);
        const int height = state.scale.Px(FullHeight);
        const POINT below = CornerOf(state.scale, PrimaryMonitorPoint, height, false);
        MoveWindow(window, r.left, below.y - MulDiv(height, i + 1, SlideInSteps),
                   state.scale.Px(WindowWidth), height, TRUE);
        UpdateWindow(window);
        Sleep(MotionPauseMs);
    }
}

void CollapseWindow(HWND window, WindowState& state) {
    static const int movedControls[] = {PercentLabelId, ProgressBarId, ResumeCommand,
                                        PauseCommand,   RetryCommand,  RefuseCommand,
                                        UpgradeCommand, DoneCommand};
    for (int id : movedControls)
        if (const ControlLayout* layout = LayoutOf(id))
            PlaceControl(window, state.scale, *layout, true);
    OffsetRect(&state.statusRect, 0, -ShrinkOffset);
    state.collapsed = true;
    RECT r;
    GetWindowRect(window, &r);
    const int height = state.scale.Px(ShrunkHeight);
    MoveWindow(window, r.left, r.bottom - height, state.scale.Px(WindowWidth), height, TRUE);
}

void SlideOut(HWND window) {
    for (int i = 0; i < SlideOutSteps; ++i) {
        RECT r;
        GetWindowRect(window, &r);
        const int height = r.bottom - r.top;
        MoveWindow(window, r.left, r.top + height / 10, r.right - r.left, height, TRUE);
        UpdateWindow(window);
        Sleep(MotionPauseMs);
    }
}

void DragWindow(HWND window) {
    SendMessageA(window, WM_NCLBUTTONDOWN, HTCAPTION, 0);
}

}  // namespace pennant
