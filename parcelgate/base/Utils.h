// Small helpers shared by the transfer workers: URL tests, Base64, GUID and
// session-ID makers, and the error type the helpers throw.
//
// Texts are byte strings in the system ANSI code page.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace pcg {

// The one exception type thrown by the helpers of this library (Base64Decode,
// the file helpers). what() is ANSI text; for Base64Decode it is
// kBase64FormatError exactly.
class TransferError : public std::runtime_error {
public:
    explicit TransferError(const std::string& message) : std::runtime_error(message) {}
};

// "字符串编码格式非法" in the GBK code page.
extern const char kBase64FormatError[];

// True when the upper-cased text contains "HTTP://" or "HTTPS://" anywhere.
bool IsHttpUrl(const std::string& text);

// A new GUID as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex;
// the all-zero GUID in that form when none can be made.
std::string NewGuidString();

// Re-seeds from the clock and returns a random number 0..65534.
int64_t NewSessionId();

// A random number 0..range-1 (0 when range <= 0) from a process-wide
// generator seeded from the clock; safe to call from any thread.
// Use RandomInt(2147483647) for a multipart boundary number.
int32_t RandomInt(int32_t range);

// Standard alphabet, "=" padding, no line breaks.
std::string Base64Encode(const std::string& bytes);

// Empty text gives empty bytes. Throws TransferError(kBase64FormatError) when
// the length is not a multiple of 4 or the text holds anything but the
// alphabet and one or two trailing "=".
std::string Base64Decode(const std::string& text);

// The name with its extension (from the last "." after the last "\", "/" or
// ":") replaced by ext (which includes its dot), or ext appended when there is
// none: ChangeFileExt("C:\\a\\f.bin", ".upbreak") == "C:\\a\\f.upbreak".
std::string ChangeFileExt(const std::string& name, const std::string& ext);

// ASCII-case-insensitive comparison and upper-casing (bytes >= 0x80 are
// compared and kept as they are).
bool SameText(const std::string& a, const std::string& b);
std::string UpperCase(const std::string& text);

}  // namespace pcg
