#include "ui/Painting.h"

#include <gtest/gtest.h>

namespace pennant {
namespace {

TEST(FormatSizeWide, BoundsAreStrict) {
    EXPECT_EQ(L"0 B", FormatSizeWide(0));
    EXPECT_EQ(L"1024 B", FormatSizeWide(1024));
    EXPECT_EQ(L"1.0 KB", FormatSizeWide(1025));
    EXPECT_EQ(L"1024.0 KB", FormatSizeWide(1048576));
    EXPECT_EQ(L"1024.0 MB", FormatSizeWide(1073741824));
    EXPECT_EQ(L"1.0 GB", FormatSizeWide(1073741825));
}

TEST(FormatSizeWide, OneDecimalOfTheUnit) {
    EXPECT_EQ(L"1.5 KB", FormatSizeWide(1536));
    EXPECT_EQ(L"1.5 MB", FormatSizeWide(1572864));
    EXPECT_EQ(L"3.8 GB", FormatSizeWide(4080218931LL));  // 3.79999... GB
    EXPECT_EQ(L"8589934592.0 GB", FormatSizeWide(INT64_MAX));
}

TEST(FormatSizeWide, NegativeCountsAreWholeBytes) {
    EXPECT_EQ(L"-1 B", FormatSizeWide(-1));
    EXPECT_EQ(L"-5000000 B", FormatSizeWide(-5000000));
}

// Narrow literals here are GBK, so UTF-8 input is spelled in bytes.
TEST(DescriptionText, EveryLineFeedGetsACarriageReturn) {
    EXPECT_EQ(L"a\r\nb\r\n", DescriptionText("a\nb\n"));
    // A CR LF already there ends up with two carriage returns.
    EXPECT_EQ(L"a\r\r\nb", DescriptionText("a\r\nb"));
    EXPECT_EQ(L"", DescriptionText(""));
    EXPECT_EQ(L"\u65b0\u7248\r\n\u2022 \u4fee\u590d", DescriptionText("\xe6\x96\xb0\xe7\x89\x88\n\xe2\x80\xa2 \xe4\xbf\xae\xe5\xa4\x8d"));
}

}  // namespace
}  // namespace pennant
