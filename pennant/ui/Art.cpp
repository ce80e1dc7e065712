#include "ui/Art.h"

#include "app/Handles.h"
#include "app/Log.h"

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstring>
#include <memory>

namespace pennant {

namespace {

// The name of the property through which a pop-up lends its scale.
constexpr char ScaleProperty[] = "pennant.scale";

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

const DisplayScale& ScaleOf(HWND window) {
    static const DisplayScale designScale;
    const auto* lent = static_cast<const DisplayScale*>(GetPropA(window, ScaleProperty));
    return lent ? *lent : designScale;
}

void LendScale(HWND window, const DisplayScale* scale) {
    // The property must be gone before the window's WM_NCDESTROY returns.
    if (!scale) {
        RemovePropA(window, ScaleProperty);
        return;
    }
    // Without the property (no memory for it) the controls draw at 96 DPI.
    if (!SetPropA(window, ScaleProperty, const_cast<DisplayScale*>(scale)))
        Log(LogError, "SetProp failed, errno = %lu", GetLastError());
}

HFONT MakeFont(const DisplayScale& scale, int height, int weight, const char* face,
               BYTE pitchAndFamily, bool underline) {
    LOGFONTA font = {};
    font.lfHeight = scale.Px(height);
    font.lfWeight = weight;
    font.lfUnderline = underline ? TRUE : FALSE;
    font.lfCharSet = GB2312_CHARSET;
    font.lfPitchAndFamily = pitchAndFamily;
    if (face) lstrcpynA(font.lfFaceName, face, LF_FACESIZE);
    return CreateFontIndirectA(&font);
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

void DrawArt(HDC dc, const DisplayScale& scale, int imageId, int x, int y, int sourceX,
             int sourceY, int width, int height) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    const int artId = scale.ArtId(imageId);
    if (scale.ArtDpi() == scale.Dpi()) {
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
                       scale.ToArt(sourceX), scale.ToArt(sourceY),
                       scale.ToArt(width), scale.ToArt(height), Gdiplus::UnitPixel,
                       &edges);
}

void DrawLogo(HDC dc, const DisplayScale& scale, const std::string& path) {
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
    const int side = scale.Px(32);
    graphics.DrawImage(&image, scale.Px(11), scale.Px(37), side, side);
}

}  // namespace pennant
