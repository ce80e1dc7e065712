// Conversions of the one text unit, run once in the test prefix's code page
// (936) and once more in 1252, where Windows would map look-alikes to ASCII.
#include "Text.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace pcg {
namespace {

TEST(PcgText, RunsInTheCodePageTheRunAsksFor) {
    char expected[16] = {};
    if (GetEnvironmentVariableA("PCG_EXPECT_ACP", expected, sizeof expected) > 0) {
        EXPECT_EQ(static_cast<UINT>(std::stoul(expected)), GetACP());
    }
}

TEST(PcgText, Utf8FromAnsiGoesThroughTheAnsiCodePage) {
    EXPECT_EQ("plain.txt", Utf8FromAnsi("plain.txt"));
    EXPECT_EQ("", Utf8FromAnsi(""));
    if (GetACP() == 936) {
        EXPECT_EQ("\xE4\xB8\xAD.txt", Utf8FromAnsi("\xD6\xD0.txt"));  // 中
    } else if (GetACP() == 1252) {
        EXPECT_EQ("\xC3\xA9", Utf8FromAnsi("\xE9"));  // é
    }
}

TEST(PcgText, LookAlikesNeverBecomeWhatTheyResemble) {
    struct Case {
        wchar_t character;
        char lookAlike;
    };
    for (const Case& c : {Case{0xFF0F, '/'}, Case{0xFF3C, '\\'}, Case{0xFF0E, '.'}, Case{0xFF02, '"'},
                          Case{0xFF1A, ':'}, Case{0x2215, '/'}, Case{0x2216, '\\'}, Case{0x2024, '.'}}) {
        SCOPED_TRACE(static_cast<unsigned>(c.character));
        const std::wstring wide = std::wstring(L"a") + c.character + L"b";
        const std::string ansi = AnsiFromWide(wide);
        EXPECT_EQ(std::string::npos, ansi.find(c.lookAlike)) << ansi;
        // The character itself where the code page has it, "?" where not.
        const std::wstring back = WideFromAnsi(ansi);
        EXPECT_TRUE(back == wide || back == L"a?b");
    }
    EXPECT_EQ("", AnsiFromWide(L""));
    EXPECT_EQ("name.txt", AnsiFromWide(L"name.txt"));
}

}  // namespace
}  // namespace pcg
