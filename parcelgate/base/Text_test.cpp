// Conversions of the one text unit (the way into the ANSI code page is
// pinned end to end in ClientText_test.cpp).
#include "base/Text.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace pcg {
namespace {

TEST(PcgText, Utf8FromAnsiGoesThroughTheAnsiCodePage) {
    EXPECT_EQ("plain.txt", Utf8FromAnsi("plain.txt"));
    EXPECT_EQ("", Utf8FromAnsi(""));
    if (GetACP() == 936) {
        EXPECT_EQ("\xE4\xB8\xAD.txt", Utf8FromAnsi("\xD6\xD0.txt"));  // 中
    } else if (GetACP() == 1252) {
        EXPECT_EQ("\xC3\xA9", Utf8FromAnsi("\xE9"));  // é
    }
    EXPECT_EQ("C:\\a%22b%0D%0A.txt", HeaderFileName("C:\\a\"b\r\n.txt"));
}

}  // namespace
}  // namespace pcg
