#include "base/Utils.h"

#include <windows.h>
#include <rpc.h>

#include <cstdio>
#include <mutex>
#include <random>

namespace pcg {

const char kBase64FormatError[] =
    "\xD7\xD6\xB7\xFB\xB4\xAE\xB1\xE0\xC2\xEB\xB8\xF1\xCA\xBD\xB7\xC7\xB7\xA8";

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Digit(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// A seed that differs between calls in quick succession: the performance
// counter moves far faster than the millisecond clock.
uint64_t ClockSeed() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<uint64_t>(counter.QuadPart) ^ (static_cast<uint64_t>(GetTickCount()) << 32);
}

}  // namespace

bool IsHttpUrl(const std::string& text) {
    const std::string upper = UpperCase(text);
    return upper.find("HTTP://") != std::string::npos || upper.find("HTTPS://") != std::string::npos;
}

std::string NewGuidString() {
    UUID guid = {};
    // A locally unique one (no network card) is as good for a progress ID.
    RPC_STATUS status = UuidCreate(&guid);
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY) guid = UUID{};
    char text[64];
    std::snprintf(text, sizeof text,
                  "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3,
                  guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

int64_t NewSessionId() {
    std::mt19937_64 generator(ClockSeed());
    return static_cast<int64_t>(std::uniform_int_distribution<uint32_t>(0, 65534)(generator));
}

int32_t RandomInt(int32_t range) {
    if (range <= 0) return 0;
    static std::mutex lock;
    static std::mt19937 generator(static_cast<uint32_t>(ClockSeed() ^ (ClockSeed() >> 32)));
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<int32_t>(
        std::uniform_int_distribution<uint32_t>(0, static_cast<uint32_t>(range) - 1)(generator));
}

std::string Base64Encode(const std::string& bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t n = (static_cast<unsigned char>(bytes[i]) << 16) |
                     (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        text += kAlphabet[(n >> 18) & 63];
        text += kAlphabet[(n >> 12) & 63];
        text += kAlphabet[(n >> 6) & 63];
        text += kAlphabet[n & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        text += kAlphabet[(n >> 18) & 63];
        text += kAlphabet[(n >> 12) & 63];
        text += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
        text += '=';
    }
    return text;
}

std::string Base64Decode(const std::string& text) {
    if (text.empty()) return std::string();
    if (text.size() % 4 != 0) throw TransferError(kBase64FormatError);
    size_t padding = 0;
    if (text[text.size() - 1] == '=') ++padding;
    if (text[text.size() - 2] == '=') ++padding;
    if (padding == 1 && text[text.size() - 2] == '=') throw TransferError(kBase64FormatError);
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        uint32_t n = 0;
        for (size_t k = 0; k < 4; ++k) {
            unsigned char c = static_cast<unsigned char>(text[i + k]);
            int digit = Base64Digit(c);
            if (digit < 0) {
                // '=' only as the one or two final characters.
                if (!(c == '=' && last && k >= 4 - padding)) throw TransferError(kBase64FormatError);
                digit = 0;
            }
            n = (n << 6) | static_cast<uint32_t>(digit);
        }
        bytes += static_cast<char>((n >> 16) & 0xFF);
        bytes += static_cast<char>((n >> 8) & 0xFF);
        bytes += static_cast<char>(n & 0xFF);
    }
    bytes.resize(bytes.size() - padding);
    return bytes;
}

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    return true;
}

std::string UpperCase(const std::string& text) {
    std::string upper = text;
    for (char& c : upper) c = AsciiUpper(c);
    return upper;
}

std::string ChangeFileExt(const std::string& name, const std::string& ext) {
    size_t dot = name.find_last_of(".\\/:");
    if (dot == std::string::npos || name[dot] != '.') return name + ext;
    return name.substr(0, dot) + ext;
}

}  // namespace pcg
