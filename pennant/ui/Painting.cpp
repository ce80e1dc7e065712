#include "ui/Painting.h"

#include "app/Codes.h"
#include "app/Handles.h"
#include "app/Log.h"
#include "app/Task.h"
#include "app/Text.h"
#include "ui/Art.h"

#include <windows.h>
#include <commctrl.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstdio>
#include <cstring>

namespace pennant {
namespace {

constexpr int LabelTextSize = 260;
// Pixels at 96 DPI, drawn at the pop-up's scale.
const RECT TitleRect = {53, 26, 360, 79};
const RECT SizeRect = {10, 79, 440, 121};
const RECT VersionRect = {100, 79, 350, 121};
constexpr int MarkSize = 16;
constexpr int MarkTextGap = 19;
constexpr int BarCorner = 4;

// A device context taken outside a paint cycle, released on scope exit.
class WindowDc {
public:
    explicit WindowDc(HWND window) : window_(window), dc_(GetDC(window)) {}
    ~WindowDc() {
        if (dc_) ReleaseDC(window_, dc_);
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    HDC Get() const { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

// An image button's record, its user data from MakeImageButton until the
// control's WM_NCDESTROY.
struct ImageButtonData {
    int32_t tracking;  // 1: request hover and leave tracking on the next mouse move
    COLORREF labelColour;
    int32_t width;
    int32_t height;
    int32_t normalImage;
    int32_t hoverImage;
    WNDPROC previous;
};

ImageButtonData* ButtonData(HWND button) {
    return reinterpret_cast<ImageButtonData*>(GetWindowLongPtrA(button, GWLP_USERDATA));
}

WNDPROC PreviousProc(HWND control) {
    return reinterpret_cast<WNDPROC>(GetWindowLongPtrA(control, GWLP_USERDATA));
}

void DrawButtonLabel(HWND button, HDC dc, COLORREF colour) {
    SelectedGdiObject font(dc, MakeFont(ScaleOf(GetParent(button)), -12, 0, "微软雅黑",
                                        FF_MODERN | FIXED_PITCH));
    SetTextColor(dc, colour);
    SetBkMode(dc, TRANSPARENT);
    char text[LabelTextSize] = {};
    GetWindowTextA(button, text, sizeof text - 1);
    RECT client;
    GetClientRect(button, &client);
    DrawTextA(dc, text, -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

void DrawButtonFace(HWND button, HDC dc, const ImageButtonData& data, int image,
                    bool textKind) {
    DrawArt(dc, ScaleOf(GetParent(button)), image, 0, 0, 0, 0, data.width, data.height);
    if (textKind) DrawButtonLabel(button, dc, data.labelColour);
}

// The shared body of the two image-button procedures.
LRESULT ImageButtonMessage(HWND button, UINT message, WPARAM wParam, LPARAM lParam,
                           bool textKind) {
    ImageButtonData* data = ButtonData(button);
    if (!data) return DefWindowProcA(button, message, wParam, lParam);
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(button, &ps);
        DrawButtonFace(button, dc, *data, data->normalImage, textKind);
        EndPaint(button, &ps);
        break;
    }
    case WM_SETCURSOR:
        return TRUE;
    case WM_MOUSEMOVE:
        if (data->tracking) {
            TRACKMOUSEEVENT track = {};
            track.cbSize = sizeof track;
            track.dwFlags = TME_HOVER | TME_LEAVE;
            track.hwndTrack = button;
            track.dwHoverTime = 20;
            TrackMouseEvent(&track);
            data->tracking = 0;
        }
        break;
    case WM_MOUSEHOVER: {
        WindowDc dc(button);
        if (dc.Get()) DrawButtonFace(button, dc.Get(), *data, data->hoverImage, textKind);
        SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32649)));  // IDC_HAND
        break;
    }
    case WM_MOUSELEAVE: {
        WindowDc dc(button);
        if (dc.Get()) DrawButtonFace(button, dc.Get(), *data, data->normalImage, textKind);
        data->tracking = 1;
        SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)));  // IDC_ARROW
        break;
    }
    case WM_NCDESTROY: {
        Log(LogProgress, "destroy window procedure data");
        WNDPROC previous = data->previous;
        SetWindowLongPtrA(button, GWLP_USERDATA, 0);
        SetWindowLongPtrA(button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
        delete data;
        return CallWindowProcA(previous, button, message, wParam, lParam);
    }
    default:
        break;
    }
    return CallWindowProcA(data->previous, button, message, wParam, lParam);
}

void DrawStatusLine(HDC dc, const WindowState& state) {
    if (state.statusText[0] == '\0') return;
    const DisplayScale& scale = state.scale;
    SelectedGdiObject font(dc, MakeFont(scale, -12, 0, nullptr));
    RECT rect = scale.Rect(state.statusRect);
    COLORREF colour;
    if (state.phase == Installing) {
        colour = RGB(153, 153, 153);
    } else if (state.phase == Finished && state.status == Installed) {
        colour = RGB(102, 102, 102);
    } else {
        const int mark = scale.Px(MarkSize);
        const int markTop = rect.top + (rect.bottom - rect.top - mark) / 2;
        DrawArt(dc, scale, WarningMarkImage, rect.left, markTop, 0, 0, mark, mark);
        rect.left += scale.Px(MarkTextGap);
        colour = RGB(255, 128, 0);
    }
    SetTextColor(dc, colour);
    SetBkMode(dc, TRANSPARENT);
    DrawTextA(dc, state.statusText, -1, &rect, DT_SINGLELINE | DT_VCENTER);
}

void DrawTaskLines(HDC dc, const DisplayScale& scale, const Task& task, int32_t phase) {
    DrawLogo(dc, scale, task.logoFile);
    {
        SelectedGdiObject font(dc, MakeFont(scale, -16, FW_EXTRABOLD, "微软雅黑"));
        SetTextColor(dc, RGB(255, 255, 255));
        SetBkMode(dc, TRANSPARENT);
        std::wstring title =
            Utf8ToWide(task.showname) + L" (" + std::to_wstring(task.bits) + L"位)";
        RECT rect = scale.Rect(TitleRect);
        DrawTextW(dc, title.c_str(), -1, &rect, DT_SINGLELINE | DT_VCENTER);
    }
    if (phase != Offer) return;
    SelectedGdiObject font(dc, MakeFont(scale, -12, 0, nullptr));
    SetTextColor(dc, RGB(0, 0, 0));
    SetBkMode(dc, TRANSPARENT);
    std::wstring size = L"大小：" + AnsiToWide(FormatSize(task.size));
    RECT sizeRect = scale.Rect(SizeRect);
    DrawTextW(dc, size.c_str(), -1, &sizeRect, DT_SINGLELINE | DT_VCENTER);
    std::wstring version =
        L"版本：" + AnsiToWide(task.oldversion) + L" -> " + AnsiToWide(task.version);
    RECT versionRect = scale.Rect(VersionRect);
    DrawTextW(dc, version.c_str(), -1, &versionRect, DT_SINGLELINE | DT_VCENTER);
}

void Show(HWND window, int id, bool visible) {
    if (HWND control = GetDlgItem(window, id)) ShowWindow(control, visible ? SW_SHOW : SW_HIDE);
}

LRESULT CALLBACK TextButtonProc(HWND button, UINT message, WPARAM wParam, LPARAM lParam) {
    return ImageButtonMessage(button, message, wParam, lParam, true);
}

LRESULT CALLBACK IconButtonProc(HWND button, UINT message, WPARAM wParam, LPARAM lParam) {
    return ImageButtonMessage(button, message, wParam, lParam, false);
}

}  // namespace

void MakeImageButton(HWND control, COLORREF labelColour, int normalImage, int hoverImage,
                     bool textKind) {
    RECT client;
    GetClientRect(control, &client);
    auto* data = new ImageButtonData;
    data->tracking = 1;
    data->labelColour = labelColour;
    data->width = client.right - client.left;
    data->height = client.bottom - client.top;
    data->normalImage = normalImage;
    data->hoverImage = hoverImage;
    data->previous = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(control, GWLP_WNDPROC));
    SetWindowLongPtrA(control, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(data));
    SetWindowLongPtrA(control, GWLP_WNDPROC,
                      reinterpret_cast<LONG_PTR>(textKind ? TextButtonProc : IconButtonProc));
}

void FitImageButton(HWND control) {
    const auto procedure = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(control, GWLP_WNDPROC));
    if (procedure != TextButtonProc && procedure != IconButtonProc) return;
    ImageButtonData* data = ButtonData(control);
    if (!data) return;
    RECT client;
    GetClientRect(control, &client);
    data->width = client.right - client.left;
    data->height = client.bottom - client.top;
}

LRESULT CALLBACK ProgressBarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam) {
    WNDPROC previous = PreviousProc(bar);
    if (message == WM_NCPAINT) return 1;
    if (message == WM_PAINT) {
        const int position = static_cast<int>(CallWindowProcA(previous, bar, PBM_GETPOS, 0, 0));
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(bar, &ps);
        RECT client;
        GetClientRect(bar, &client);
        const int fill = static_cast<int>(static_cast<double>(client.right - client.left) *
                                          position / 100.0);
        UniqueGdiObject track(CreateSolidBrush(RGB(221, 221, 221)));
        FillRect(dc, &client, static_cast<HBRUSH>(track.Get()));
        if (fill > 0) {
            const int corner = ScaleOf(GetParent(bar)).Px(BarCorner);
            UniqueGdiObject rounded(CreateRoundRectRgn(client.left, client.top, client.left + fill,
                                                       client.bottom, corner, corner));
            Gdiplus::Graphics graphics(dc);
            Gdiplus::Region clip(static_cast<HRGN>(rounded.Get()));
            graphics.SetClip(&clip);
            Gdiplus::SolidBrush brush(Gdiplus::Color(255, 113, 219, 255));
            graphics.FillRectangle(&brush, client.left, client.top, fill,
                                   client.bottom - client.top);
            graphics.ResetClip();
        }
        EndPaint(bar, &ps);
    }
    return CallWindowProcA(previous, bar, message, wParam, lParam);
}

LRESULT CALLBACK PercentLabelProc(HWND label, UINT message, WPARAM wParam, LPARAM lParam) {
    WNDPROC previous = PreviousProc(label);
    if (message == WM_SETTEXT) {
        InvalidateRect(label, nullptr, TRUE);
    } else if (message == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(label, &ps);
        {
            SelectedGdiObject font(dc, MakeFont(ScaleOf(GetParent(label)), -10, 0, nullptr));
            SetTextColor(dc, RGB(102, 102, 102));
            RECT client;
            GetClientRect(label, &client);
            FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
            SetBkMode(dc, TRANSPARENT);
            char text[LabelTextSize] = {};
            GetWindowTextA(label, text, sizeof text - 1);
            DrawTextA(dc, text, -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        }
        EndPaint(label, &ps);
    }
    return CallWindowProcA(previous, label, message, wParam, lParam);
}

void PaintMainWindow(HWND window, const WindowState& state) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    const DisplayScale& scale = state.scale;
    if (state.phase == Offer)
        DrawArt(dc, scale, FullBackgroundImage, 0, 0, 0, 0, scale.Px(WindowWidth),
                scale.Px(FullHeight));
    else
        DrawArt(dc, scale, ShrunkBackgroundImage, 0, 0, 0, 0, scale.Px(WindowWidth),
                scale.Px(ShrunkHeight));
    if (const TaskHolder* holder = CurrentTaskHolder())
        DrawTaskLines(dc, scale, holder->task, state.phase);
    DrawStatusLine(dc, state);
    EndPaint(window, &ps);
}

void UpdateViews(HWND window, const WindowState& state) {
    Show(window, CloseCommand, true);
    Show(window, MinimizeCommand, true);
    const int current = state.phase;
    if (current == Closing) return;
    if ((current == DownloadFailed || current == Finished) && state.status != Installed) {
        if (HWND done = GetDlgItem(window, DoneCommand)) {
            SetWindowTextA(done, "结束");
            InvalidateRect(done, nullptr, FALSE);
        }
    }
    Show(window, DescriptionEditId, current == Offer);
    Show(window, UpgradeCommand, current == Offer);
    Show(window, RefuseCommand, current == Offer);
    Show(window, PauseCommand, current == Downloading);
    Show(window, ResumeCommand, current == Paused);
    Show(window, RetryCommand, current == NetworkLost);
    Show(window, DoneCommand, current == DownloadFailed || current == Finished);
    Show(window, ProgressBarId, current == Downloading || current == Paused);
    Show(window, PercentLabelId, current == Downloading || current == Paused);
}

void ShowProgress(HWND window, int percent) {
    SendDlgItemMessageA(window, ProgressBarId, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    char text[16];
    std::snprintf(text, sizeof text, "%d%%", percent);
    SetDlgItemTextA(window, PercentLabelId, text);
}

void SetStatusText(HWND window, WindowState& state, const char* text) {
    // Cut on a character boundary so a GBK pair is never split.
    size_t length = 0;
    while (text[length] != '\0') {
        const size_t step =
            IsDBCSLeadByte(static_cast<BYTE>(text[length])) && text[length + 1] != '\0' ? 2 : 1;
        if (length + step > StatusTextSize - 1) break;
        length += step;
    }
    std::memcpy(state.statusText, text, length);
    state.statusText[length] = '\0';
    const RECT shown = state.scale.Rect(state.statusRect);
    InvalidateRect(window, &shown, TRUE);
}

std::wstring DescriptionText(const std::string& utf8) {
    const std::wstring wide = Utf8ToWide(utf8);
    std::wstring text;
    text.reserve(wide.size() + wide.size() / 8);
    for (wchar_t c : wide) {
        if (c == L'\n') text += L'\r';
        text += c;
    }
    return text;
}

void ShowDescription(HWND window, const std::string& utf8) {
    SetWindowTextW(GetDlgItem(window, DescriptionEditId), DescriptionText(utf8).c_str());
}

}  // namespace pennant
