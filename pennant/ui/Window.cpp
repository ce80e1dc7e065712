#include "ui/Window.h"

#include "app/Codes.h"
#include "app/Handles.h"
#include "app/Log.h"
#include "ui/Painting.h"

#include <windows.h>
#include <commctrl.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstring>
#include <memory>

namespace pennant {

namespace {

constexpr int SlideInSteps = 45;
constexpr int SlideOutSteps = 20;
constexpr DWORD MotionPauseMs = 10;

// The description box's font lives as long as the window (or until the
// window's scale changes).
UniqueGdiObject descriptionFont;

DisplayScale popupScale;

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
ControlPlace PlaceOf(const ControlLayout& layout, bool collapsed) {
    const bool staysPut = layout.id == DescriptionEditId || layout.id == MinimizeCommand ||
                          layout.id == CloseCommand;
    const int y = collapsed && !staysPut ? layout.y - ShrinkOffset : layout.y;
    return ControlPlace{popupScale.Px(layout.x), popupScale.Px(y), popupScale.Px(layout.width),
                        popupScale.Px(layout.height)};
}

void PlaceControl(HWND window, const ControlLayout& layout, bool collapsed) {
    HWND control = GetDlgItem(window, layout.id);
    if (!control) return;
    const ControlPlace place = PlaceOf(layout, collapsed);
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
void SetDescriptionFont(HWND window) {
    HWND edit = GetDlgItem(window, DescriptionEditId);
    if (!edit) return;
    HFONT font = CreateFontA(popupScale.Px(-12), 0, 0, 0, 0, FALSE, FALSE, FALSE, GB2312_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FF_SWISS,
                             "微软雅黑");
    SendMessageA(edit, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    descriptionFont.Reset(font);
}

void CreateControls(HWND window) {
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
    for (const ControlLayout& layout : controlLayouts) {
        const ControlPlace place = PlaceOf(layout, false);
        HWND control = CreateWindowExA(0, layout.className, layout.text, layout.style, place.x,
                                       place.y, place.width, place.height, window,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(layout.id)),
                                       instance, nullptr);
        if (!control) {
            Log(LogError, "create control %d failed, errno = %lu", layout.id, GetLastError());
            continue;
        }
        if (layout.id == DescriptionEditId) {
            SetDescriptionFont(window);
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

struct ComRelease {
    void operator()(IUnknown* p) const {
        if (p) p->Release();
    }
};

// Copies resource `imageId` into `memory` and decodes it.
std::unique_ptr<Gdiplus::Image> LoadPngResource(HINSTANCE instance, int imageId,
                                                UniqueGlobalMemory& memory) {
    HMODULE module = instance ? instance : GetModuleHandleA(nullptr);
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(imageId), "PNG");
    if (!found) return nullptr;
    DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes || size == 0) return nullptr;

    memory.Reset(GlobalAlloc(GMEM_MOVEABLE, size));
    if (!memory) return nullptr;
    void* target = GlobalLock(memory.Get());
    if (!target) return nullptr;
    std::memcpy(target, bytes, size);
    GlobalUnlock(memory.Get());

    IStream* rawStream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(memory.Get(), FALSE, &rawStream))) return nullptr;
    std::unique_ptr<IStream, ComRelease> stream(rawStream);
    std::unique_ptr<Gdiplus::Image> image(Gdiplus::Image::FromStream(stream.get()));
    if (!image || image->GetLastStatus() != Gdiplus::Ok) return nullptr;
    return image;
}

}  // namespace

HFONT MakeFont(int height, int weight, const char* face, BYTE pitchAndFamily, bool underline) {
    LOGFONTA font = {};
    font.lfHeight = popupScale.Px(height);
    font.lfWeight = weight;
    font.lfUnderline = underline ? TRUE : FALSE;
    font.lfCharSet = GB2312_CHARSET;
    font.lfPitchAndFamily = pitchAndFamily;
    if (face) lstrcpynA(font.lfFaceName, face, LF_FACESIZE);
    return CreateFontIndirectA(&font);
}

void CreateWindowContents(HWND window) {
    popupScale = DisplayScale::OfWindow(window);
    RECT work = {};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    SetWindowPos(window, HWND_TOPMOST, work.right - popupScale.Px(WorkAreaRightMargin), work.bottom,
                 popupScale.Px(WindowWidth), popupScale.Px(FullHeight), SWP_SHOWWINDOW);
    CreateControls(window);
    SystemParametersInfoA(SPI_SETDRAGFULLWINDOWS, TRUE, nullptr, 0);
}

const DisplayScale& PopupScale() { return popupScale; }

LRESULT OnDpiChanged(HWND window, const WindowState& state, WPARAM dpis, LPARAM suggested) {
    const RECT& target = *reinterpret_cast<const RECT*>(suggested);
    RECT now;
    GetWindowRect(window, &now);
    // A pop-up the user has dragged away goes where the system suggests; one
    // in its corner (risen, or still waiting below the work area) stays there.
    const RECT oldWork = WorkAreaOf(now);
    const bool inCorner = now.left == oldWork.right - popupScale.Px(WorkAreaRightMargin) &&
                          (now.bottom == oldWork.bottom || now.top >= oldWork.bottom);
    const bool risen = now.top < oldWork.bottom;

    popupScale = DisplayScale(HIWORD(dpis));
    const int width = popupScale.Px(WindowWidth);
    const int height = popupScale.Px(state.collapsed ? ShrunkHeight : FullHeight);
    const RECT work = WorkAreaOf(target);
    const int left = inCorner ? work.right - popupScale.Px(WorkAreaRightMargin) : target.left;
    const int top = !inCorner ? target.top : risen ? work.bottom - height : work.bottom;
    SetWindowPos(window, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    for (const ControlLayout& layout : controlLayouts) PlaceControl(window, layout, state.collapsed);
    SetDescriptionFont(window);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    return 0;
}

void ReleaseWindowContents() { descriptionFont.Reset(); }

void SlideIn(HWND window) {
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    // 45 equal steps of the full height (10 pixels each at 96 DPI); where the
    // height does not divide, the steps differ by a pixel and still add up.
    const int rise = popupScale.Px(FullHeight);
    for (int i = 0; i < SlideInSteps; ++i) {
        const int step = MulDiv(rise, i + 1, SlideInSteps) - MulDiv(rise, i, SlideInSteps);
        RECT r;
        GetWindowRect(window, &r);
        MoveWindow(window, r.left, r.top - step, popupScale.Px(WindowWidth), rise, TRUE);
        UpdateWindow(window);
        Sleep(MotionPauseMs);
    }
}

void CollapseWindow(HWND window, WindowState& state) {
    static const int movedControls[] = {PercentLabelId, ProgressBarId, ResumeCommand,
                                        PauseCommand,   RetryCommand,  RefuseCommand,
                                        UpgradeCommand, DoneCommand};
    for (int id : movedControls)
        if (const ControlLayout* layout = LayoutOf(id)) PlaceControl(window, *layout, true);
    OffsetRect(&state.statusRect, 0, -ShrinkOffset);
    state.collapsed = true;
    RECT r;
    GetWindowRect(window, &r);
    const int height = popupScale.Px(ShrunkHeight);
    MoveWindow(window, r.left, r.bottom - height, popupScale.Px(WindowWidth), height, TRUE);
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

void DrawPngResource(HDC dc, HINSTANCE instance, int imageId, int x, int y, int sourceX,
                     int sourceY, int width, int height) {
    UniqueGlobalMemory memory;
    std::unique_ptr<Gdiplus::Image> image = LoadPngResource(instance, imageId, memory);
    if (!image) return;
    Gdiplus::Graphics graphics(dc);
    graphics.DrawImage(image.get(), Gdiplus::Rect(x, y, width, height), sourceX, sourceY, width,
                       height, Gdiplus::UnitPixel, nullptr);
}

void DrawArt(HDC dc, int imageId, int x, int y, int sourceX, int sourceY, int width,
             int height) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    const int artId = popupScale.ArtId(imageId);
    if (popupScale.ArtDpi() == popupScale.Dpi()) {
        DrawPngResource(dc, instance, artId, x, y, sourceX, sourceY, width, height);
        return;
    }
    UniqueGlobalMemory memory;
    std::unique_ptr<Gdiplus::Image> image = LoadPngResource(instance, artId, memory);
    if (!image) return;
    Gdiplus::Graphics graphics(dc);
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
    // The filter reads past the source's edges: let it see the edge pixels
    // again rather than transparency, or every image gets a faded rim.
    Gdiplus::ImageAttributes edges;
    edges.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
    graphics.DrawImage(image.get(), Gdiplus::Rect(x, y, width, height),
                       popupScale.ToArt(sourceX), popupScale.ToArt(sourceY),
                       popupScale.ToArt(width), popupScale.ToArt(height), Gdiplus::UnitPixel,
                       &edges);
}

void DrawLogo(HDC dc, const std::string& path) {
    if (path.empty()) return;
    const int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    if (n <= 0) return;
    std::wstring widePath(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &widePath[0], n);
    Gdiplus::Image image(widePath.c_str());
    if (image.GetLastStatus() != Gdiplus::Ok) return;
    Gdiplus::Graphics graphics(dc);
    // The server's logo comes at any size: the best filter GDI+ has.
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    const int side = popupScale.Px(32);
    graphics.DrawImage(&image, popupScale.Px(11), popupScale.Px(37), side, side);
}

}  // namespace pennant
