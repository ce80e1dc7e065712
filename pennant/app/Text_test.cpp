#include "app/Text.h"

#include <gtest/gtest.h>

using pennant::DecodeBase64;
using pennant::FormatSize;

TEST(DecodeBase64, DecodesStandardAlphabetAndDropsOneZeroPerPadding) {
    std::string out;
    ASSERT_TRUE(DecodeBase64("aGVsbG8=", out));
    EXPECT_EQ("hello", out);
    ASSERT_TRUE(DecodeBase64("aGk=", out));
    EXPECT_EQ("hi", out);
    ASSERT_TRUE(DecodeBase64("aGk/Pz8+", out));
    EXPECT_EQ("hi?\x3f?>", out);
}

TEST(DecodeBase64, EmptyTextIsTrueAndEmpty) {
    std::string out = "old";
    ASSERT_TRUE(DecodeBase64("", out));
    EXPECT_TRUE(out.empty());
}

TEST(DecodeBase64, PaddingInTheMiddleCountsLikeTrailingPadding) {
    // "aGk=aGk=" is "hi\0hi\0" once each '=' reads as 'A'; the two '=' cut
    // at the last NUL twice, so the second cut takes the second "hi" too.
    std::string out;
    ASSERT_TRUE(DecodeBase64("aGk=aGk=", out));
    EXPECT_EQ("hi", out);
    // "aG=k" decodes to 68 60 24: no NUL to cut, so the padding removes nothing.
    ASSERT_TRUE(DecodeBase64("aG=k", out));
    EXPECT_EQ(std::string("\x68\x60\x24", 3), out);
}

TEST(DecodeBase64, EachPaddingCutsAtTheLastNulByte) {
    std::string out;
    ASSERT_TRUE(DecodeBase64("AAAAaGk=", out));
    EXPECT_EQ(std::string("\0\0\0hi", 5), out);
    ASSERT_TRUE(DecodeBase64("AAAAaA==", out));
    EXPECT_EQ(std::string("\0\0\0h", 4), out);
}

TEST(DecodeBase64, RejectsCharactersOutsideTheAlphabetAndKeepsOutput) {
    for (const char* bad : {"aGVs bG8=", "aGVs\nbG8=", "aGV-bG8=", "\xff\xfe\x00\x01", "*"}) {
        std::string out = "untouched";
        EXPECT_FALSE(DecodeBase64(bad, out)) << bad;
        EXPECT_EQ("untouched", out) << bad;
    }
}

TEST(DecodeBase64, AllPaddingDecodesToNothingAndFails) {
    std::string out = "untouched";
    EXPECT_FALSE(DecodeBase64("====", out));
    EXPECT_EQ("untouched", out);
}

TEST(DecodeBase64, HugeInputWithManyPaddingsStaysLinear) {
    // A megabyte of '=' would be quadratic if each cut rescanned the text.
    std::string text(1 << 20, '=');
    std::string out = "untouched";
    EXPECT_FALSE(DecodeBase64(text, out));
    std::string mixed = std::string(1 << 20, '/') + std::string(1 << 19, '=');
    EXPECT_TRUE(DecodeBase64(mixed, out));
    EXPECT_EQ(size_t{3} << 18, out.size());
}

TEST(FormatSize, OneDecimalWithExclusiveThresholds) {
    const struct {
        int64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0 B"},
        {-1, "-1 B"},
        {-5000000, "-5000000 B"},
        {1024, "1024 B"},
        {1025, "1.0 KB"},
        {1536, "1.5 KB"},
        {1048576, "1024.0 KB"},
        {1572864, "1.5 MB"},
        {1073741824, "1024.0 MB"},
        {1073741825, "1.0 GB"},
        {2147483648LL, "2.0 GB"},
        {4080218931LL, "3.8 GB"},  // 3.79999... GB
        {INT64_MAX, "8589934592.0 GB"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, FormatSize(c.bytes)) << c.bytes;
}
