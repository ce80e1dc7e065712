// Text helpers shared by every layer: code-page conversions, the Base64 of
// the task argument and the one size formatter.
#pragma once

#include <cstdint>
#include <string>

namespace pennant {

// UTF-8 to UTF-16, the ANSI code page to UTF-16 and back. Empty in, empty out.
std::wstring Utf8ToWide(const std::string& text);
std::wstring AnsiToWide(const std::string& text);
std::string WideToAnsi(const std::wstring& text);
std::string WideToUtf8(const std::wstring& text);

// True when the bytes are valid UTF-8 (the empty text included).
bool IsUtf8(const std::string& text);

// Standard Base64 where every '=' anywhere counts as one trailing zero byte
// to drop. True with `out` filled; true and empty for empty text; false
// (out untouched) on a character outside the alphabet or an empty result.
bool DecodeBase64(const std::string& text, std::string& out);

// A byte count with one decimal and " GB", " MB", " KB" (thresholds
// exclusive), or the plain integer with " B".
std::string FormatSize(int64_t bytes);

}  // namespace pennant
