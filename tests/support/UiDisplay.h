// Display helpers for the window tests: Unix tools (xdotool, ImageMagick) run
// from the Wine-side test, screenshots of the X root window read by pixel,
// and a pennant.exe process that the test owns and always ends.
#pragma once

#include "TestFiles.h"

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace testing_support {

// The Unix path Wine maps a Windows path to; empty when there is none.
inline std::string UnixPath(const std::string& windowsPath) {
    using ToUnix = char*(CDECL*)(LPCWSTR);
    auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix) return std::string();
    std::wstring wide(windowsPath.begin(), windowsPath.end());
    char* unix = toUnix(wide.c_str());
    if (!unix) return std::string();
    std::string result(unix);
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

// Runs `script` with /bin/sh as a Unix process and waits for it. Wine gives
// no waitable handle for a Unix child, so the script leaves its exit status
// in a marker file. Returns that status, or -1 on time-out.
inline int RunUnix(const std::string& script, DWORD timeoutMs = 30000) {
    static int serial = 0;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string base = std::string(temp) + "uidisplay_" +
                             std::to_string(GetCurrentProcessId()) + "_" +
                             std::to_string(++serial);
    const std::string scriptPath = base + ".sh";
    const std::string markerPath = base + ".done";
    const std::string markerUnix = UnixPath(markerPath);
    WriteFile(scriptPath, script + "\necho $? > '" + markerUnix + ".tmp' && mv '" + markerUnix +
                              ".tmp' '" + markerUnix + "'\n");

    // Wine splits the command line by the Windows rules: double quotes only.
    std::string command = "/bin/sh \"" + UnixPath(scriptPath) + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return -1;
    if (process.hProcess) CloseHandle(process.hProcess);
    if (process.hThread) CloseHandle(process.hThread);

    int status = -1;
    for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
        if (FileExists(markerPath)) {
            status = std::atoi(ReadFile(markerPath).c_str());
            break;
        }
        Sleep(20);
    }
    DeleteFileA(scriptPath.c_str());
    DeleteFileA(markerPath.c_str());
    return status;
}

inline int Xdotool(const std::string& arguments) { return RunUnix("xdotool " + arguments); }

// Moves the real pointer and lets Wine see the motion.
inline void MouseMove(int x, int y) {
    Xdotool("mousemove " + std::to_string(x) + " " + std::to_string(y));
}

inline void Click(int x, int y, int button = 1) {
    Xdotool("mousemove " + std::to_string(x) + " " + std::to_string(y) + " click " +
            std::to_string(button));
}

// Clicks the centre of the child control `id` of `window` with the real
// pointer, where a person would.
inline void ClickChild(HWND window, int id) {
    RECT r = {};
    GetWindowRect(GetDlgItem(window, id), &r);
    Click((r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

struct Rgb {
    int r = -1, g = -1, b = -1;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
    bool operator!=(const Rgb& o) const { return !(*this == o); }
    bool Near(const Rgb& o, int tolerance = 6) const {
        return std::abs(r - o.r) <= tolerance && std::abs(g - o.g) <= tolerance &&
               std::abs(b - o.b) <= tolerance;
    }
};

inline std::ostream& operator<<(std::ostream& out, const Rgb& c) {
    return out << "RGB(" << c.r << "," << c.g << "," << c.b << ")";
}

// A picture of the whole X screen, taken with ImageMagick's `import`.
class Screenshot {
public:
    bool Take() {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        path_ = std::string(temp) + "uidisplay_" + std::to_string(GetCurrentProcessId()) +
                ".ppm";
        DeleteFileA(path_.c_str());
        if (RunUnix("import -window root -depth 8 'ppm:" + UnixPath(path_) + "'") != 0)
            return false;
        return Load(ReadFile(path_));
    }

    // The same picture, pixel for pixel.
    bool SameAs(const Screenshot& other) const {
        return width_ == other.width_ && height_ == other.height_ && pixels_ == other.pixels_;
    }

    Rgb Pixel(int x, int y) const {
        Rgb c;
        if (x < 0 || y < 0 || x >= width_ || y >= height_) return c;
        const size_t i = (static_cast<size_t>(y) * width_ + x) * 3;
        c.r = pixels_[i];
        c.g = pixels_[i + 1];
        c.b = pixels_[i + 2];
        return c;
    }

    // How many pixels of the rectangle are within `tolerance` of `colour`.
    int Count(const RECT& r, const Rgb& colour, int tolerance = 6) const {
        int n = 0;
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x)
                if (Pixel(x, y).Near(colour, tolerance)) ++n;
        return n;
    }

    // The darkest pixel of the rectangle (by the sum of its channels): the
    // colour of anti-aliased text is its darkest pixel.
    Rgb Darkest(const RECT& r) const {
        Rgb darkest{255, 255, 255};
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x) {
                Rgb c = Pixel(x, y);
                if (c.r >= 0 && c.r + c.g + c.b < darkest.r + darkest.g + darkest.b) darkest = c;
            }
        return darkest;
    }

    // Writes the part `r` of the screen as a PNG file (Unix path).
    bool SaveCrop(const RECT& r, const std::string& unixPngPath) const {
        const std::string geometry = std::to_string(r.right - r.left) + "x" +
                                     std::to_string(r.bottom - r.top) + "+" +
                                     std::to_string(r.left) + "+" + std::to_string(r.top);
        return RunUnix("mkdir -p \"$(dirname '" + unixPngPath + "')\" && convert '" +
                       UnixPath(path_) + "' -crop " + geometry + " +repage '" + unixPngPath +
                       "'") == 0;
    }

    int Width() const { return width_; }
    int Height() const { return height_; }

private:
    // Binary PPM (P6, maxval 255) as ImageMagick writes it.
    bool Load(const std::string& bytes) {
        size_t pos = 0;
        auto token = [&]() {
            while (pos < bytes.size()) {
                if (bytes[pos] == '#') {
                    while (pos < bytes.size() && bytes[pos] != '\n') ++pos;
                } else if (isspace(static_cast<unsigned char>(bytes[pos]))) {
                    ++pos;
                } else {
                    break;
                }
            }
            size_t start = pos;
            while (pos < bytes.size() && !isspace(static_cast<unsigned char>(bytes[pos]))) ++pos;
            return bytes.substr(start, pos - start);
        };
        if (token() != "P6") return false;
        width_ = std::atoi(token().c_str());
        height_ = std::atoi(token().c_str());
        if (std::atoi(token().c_str()) != 255) return false;
        ++pos;  // the single blank after the header
        const size_t size = static_cast<size_t>(width_) * height_ * 3;
        if (width_ <= 0 || height_ <= 0 || bytes.size() < pos + size) return false;
        pixels_.assign(bytes.begin() + pos, bytes.begin() + pos + size);
        return true;
    }

    std::string path_;
    int width_ = 0;
    int height_ = 0;
    std::vector<unsigned char> pixels_;
};

}  // namespace testing_support
