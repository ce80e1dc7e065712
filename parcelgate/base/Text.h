// Conversions between the server's texts (byte strings in the system ANSI
// code page) and UTF-16 or UTF-8.
//
// Into the ANSI code page no character is mapped to a "best fit" look-alike:
// a fullwidth solidus, reverse solidus, full stop or quotation mark would
// otherwise become "/", "\", "." or '"' and change what a file name or URL
// means. A character the code page cannot hold becomes "?".
#pragma once

#include <cstddef>
#include <string>

namespace pcg {

std::string AnsiFromWide(const wchar_t* text, size_t length);
inline std::string AnsiFromWide(const std::wstring& text) { return AnsiFromWide(text.data(), text.size()); }

std::wstring WideFromAnsi(const std::string& text);

// For file names sent in header lines. Characters that did not survive the
// conversion into the ANSI code page stay lost.
std::string Utf8FromAnsi(const std::string& ansi);

// A file name for filename="..." in a header or a form part: UTF-8 as
// above, with '"', CR and LF written %22, %0D and %0A as browsers write
// them, since a quote would end the name early and a line break the line.
std::string HeaderFileName(const std::string& ansi);

}  // namespace pcg
