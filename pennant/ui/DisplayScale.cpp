#include "ui/DisplayScale.h"

namespace pennant {
namespace {

// Entry points of Windows 10 1607 and later, looked up at run time so the
// program still starts on Windows 7.
template <class Function>
Function User32Entry(const char* name) {
    HMODULE user32 = GetModuleHandleA("user32.dll");
    if (!user32) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user32, name)));
}

using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
using GetDpiForMonitorFunction = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
constexpr int EffectiveDpi = 0;  // MDT_EFFECTIVE_DPI

// The scale Windows 8.1 to 10 1511 gives the monitor: shcore.dll has it
// from 8.1 on (a per-monitor aware process is told the monitor's own
// scale); 0 where it is missing or fails.
int MonitorDpiOf(HWND window) {
    // Loaded once and kept for the process's life: the function pointer
    // below must never outlive the library.
    static const HMODULE shcore =
        LoadLibraryExA("shcore.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!shcore) return 0;
    static const auto getDpiForMonitor = reinterpret_cast<GetDpiForMonitorFunction>(
        reinterpret_cast<void*>(GetProcAddress(shcore, "GetDpiForMonitor")));
    if (!getDpiForMonitor) return 0;
    UINT x = 0, y = 0;
    HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
    if (FAILED(getDpiForMonitor(monitor, EffectiveDpi, &x, &y))) return 0;
    return static_cast<int>(x);
}

using GetSystemMetricsForDpiFunction = int(WINAPI*)(int, UINT);

constexpr int ArtDpis[] = {96, 144, 192};
constexpr int ArtIdStep = 1000;

}  // namespace

DisplayScale DisplayScale::OfWindow(HWND window) {
    static const auto getDpiForWindow = User32Entry<GetDpiForWindowFunction>("GetDpiForWindow");
    if (getDpiForWindow && window) {
        if (const UINT dpi = getDpiForWindow(window)) return DisplayScale(static_cast<int>(dpi));
    }
    if (window) {
        if (const int dpi = MonitorDpiOf(window)) return DisplayScale(dpi);
    }
    HDC screen = GetDC(nullptr);
    if (!screen) return DisplayScale();
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return DisplayScale(dpi);
}

int DisplayScale::ArtDpi() const {
    for (int art : ArtDpis)
        if (dpi_ <= art) return art;
    return ArtDpis[2];
}

int DisplayScale::ArtId(int imageId) const {
    const int art = ArtDpi();
    for (int i = 0; i < 3; ++i)
        if (ArtDpis[i] == art) return imageId + i * ArtIdStep;
    return imageId;
}

int DisplayScale::SmallIconSize() const {
    static const auto forDpi = User32Entry<GetSystemMetricsForDpiFunction>("GetSystemMetricsForDpi");
    if (forDpi) return forDpi(SM_CXSMICON, static_cast<UINT>(dpi_));
    // A system-aware process on older Windows gets the metrics of its one DPI.
    return GetSystemMetrics(SM_CXSMICON);
}

}  // namespace pennant
