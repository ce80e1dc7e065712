#include "base/Text.h"

#include <windows.h>

namespace pcg {
namespace {

std::string NarrowFromWide(UINT codePage, DWORD flags, const wchar_t* text, size_t length) {
    if (length == 0) return std::string();
    const int wideLength = static_cast<int>(length);
    int n = WideCharToMultiByte(codePage, flags, text, wideLength, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string narrow(static_cast<size_t>(n), '\0');
    n = WideCharToMultiByte(codePage, flags, text, wideLength, &narrow[0], n, nullptr, nullptr);
    narrow.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return narrow;
}

}  // namespace

std::string AnsiFromWide(const wchar_t* text, size_t length) {
    return NarrowFromWide(CP_ACP, WC_NO_BEST_FIT_CHARS, text, length);
}

std::wstring WideFromAnsi(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int narrowLength = static_cast<int>(text.size());
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), narrowLength, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    n = MultiByteToWideChar(CP_ACP, 0, text.data(), narrowLength, &wide[0], n);
    wide.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return wide;
}

std::string Utf8FromAnsi(const std::string& ansi) {
    const std::wstring wide = WideFromAnsi(ansi);
    return NarrowFromWide(CP_UTF8, 0, wide.data(), wide.size());
}

std::string HeaderFileName(const std::string& ansi) {
    std::string name;
    for (char c : Utf8FromAnsi(ansi)) {
        if (c == '"')
            name += "%22";
        else if (c == '\r')
            name += "%0D";
        else if (c == '\n')
            name += "%0A";
        else
            name += c;
    }
    return name;
}

}  // namespace pcg
