#include "ui/Painting.h"

#include <gtest/gtest.h>

namespace pennant {
namespace {

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
