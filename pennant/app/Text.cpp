#include "app/Text.h"

#include <windows.h>

#include <boost/archive/iterators/binary_from_base64.hpp>
#include <boost/archive/iterators/transform_width.hpp>

#include <algorithm>
#include <iomanip>
#include <sstream>

namespace pennant {
namespace {

std::wstring ToWide(UINT codePage, const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                                nullptr, 0);
    std::wstring wide(n > 0 ? n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

std::string FromWide(UINT codePage, const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                0, nullptr, nullptr);
    std::string narrow(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &narrow[0],
                            n, nullptr, nullptr);
    return narrow;
}

}  // namespace

std::wstring Utf8ToWide(const std::string& text) { return ToWide(CP_UTF8, text); }

std::wstring AnsiToWide(const std::string& text) { return ToWide(CP_ACP, text); }

std::string WideToAnsi(const std::wstring& text) { return FromWide(CP_ACP, text); }

std::string WideToUtf8(const std::wstring& text) { return FromWide(CP_UTF8, text); }

bool IsUtf8(const std::string& text) {
    return text.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                               static_cast<int>(text.size()), nullptr, 0) > 0;
}

bool DecodeBase64(const std::string& text, std::string& out) {
    if (text.empty()) {
        out.clear();
        return true;
    }
    std::string padded = text;
    const size_t padding = std::count(padded.begin(), padded.end(), '=');
    std::replace(padded.begin(), padded.end(), '=', 'A');

    using namespace boost::archive::iterators;
    using Decoder = transform_width<binary_from_base64<std::string::const_iterator>, 8, 6>;
    // Only as many bytes as the characters fully cover, so the decoder never
    // reads past the end of a text whose length is not a multiple of four.
    const size_t bytes = padded.size() * 6 / 8;
    std::string decoded;
    decoded.reserve(bytes);
    try {
        Decoder it(padded.cbegin());
        for (size_t i = 0; i < bytes; ++i, ++it) decoded.push_back(static_cast<char>(*it));
    } catch (const std::exception&) {
        return false;
    }

    for (size_t i = 0; i < padding; ++i) {
        size_t nul = decoded.rfind('\0');
        if (nul == std::string::npos) break;  // nothing further can be cut
        decoded.resize(nul);
    }
    if (decoded.empty()) return false;
    out.swap(decoded);
    return true;
}

std::string FormatSize(int64_t bytes) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(1);
    const double unit = 0.0009765625;
    const double value = static_cast<double>(bytes);
    if (bytes > 1073741824)
        text << value * unit * unit * unit << " GB";
    else if (bytes > 1048576)
        text << value * unit * unit << " MB";
    else if (bytes > 1024)
        text << value * unit << " KB";
    else
        text << bytes << " B";
    return text.str();
}

}  // namespace pennant
