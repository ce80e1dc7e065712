#include "base/Utils.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <random>
#include <set>


namespace pcg {
namespace {

TEST(PcgIsHttpUrl, LooksForHttpOrHttpsSchemeAnywhereInAnyCase) {
    EXPECT_TRUE(IsHttpUrl("https://example.com/"));
    EXPECT_TRUE(IsHttpUrl("see HtTpS://example.com"));
    EXPECT_FALSE(IsHttpUrl("httpx://example.com/"));
    EXPECT_TRUE(IsHttpUrl("http://example.com/"));
    EXPECT_TRUE(IsHttpUrl("see HtTp://example.com"));
    EXPECT_TRUE(IsHttpUrl("ftp://x/?access_token=http://y"));
    EXPECT_FALSE(IsHttpUrl("http:/x"));
    EXPECT_FALSE(IsHttpUrl(""));
}

TEST(PcgBase64, KnownVectorsAndRoundTripsOfEveryShortLength) {
    EXPECT_EQ("", Base64Encode(""));
    EXPECT_EQ("Zg==", Base64Encode("f"));
    EXPECT_EQ("Zm8=", Base64Encode("fo"));
    EXPECT_EQ("Zm9v", Base64Encode("foo"));
    EXPECT_EQ("Zm9vYmFy", Base64Encode("foobar"));
    EXPECT_EQ("/+8A", Base64Encode(std::string("\xff\xef\x00", 3)));
    std::mt19937 random(7);
    for (size_t length = 0; length < 70; ++length) {
        std::string bytes;
        for (size_t i = 0; i < length; ++i) bytes += static_cast<char>(random());
        std::string text = Base64Encode(bytes);
        EXPECT_EQ(0u, text.size() % 4);
        EXPECT_EQ(std::string::npos, text.find_first_of("\r\n"));
        EXPECT_EQ(bytes, Base64Decode(text)) << length;
    }
}

TEST(PcgBase64, DecodePaddingShortensTheResult) {
    EXPECT_EQ("", Base64Decode(""));
    EXPECT_EQ("A", Base64Decode("QQ=="));
    EXPECT_EQ("AB", Base64Decode("QUI="));
    EXPECT_EQ("ABC", Base64Decode("QUJD"));
}

TEST(PcgBase64, MalformedTextFailsWithTheFormatMessage) {
    for (const char* text : {"QUJDR", "Q", "QQ=", "Q===", "====", "QQ==QUJD", "QU=D", "QU\r\nJD", "QUJ\x80"}) {
        try {
            Base64Decode(text);
            ADD_FAILURE() << "accepted " << text;
        } catch (const TransferError& error) {
            EXPECT_STREQ(kBase64FormatError, error.what()) << text;
        }
    }
    // The message is "字符串编码格式非法" in GBK.
    EXPECT_EQ(18u, std::string(kBase64FormatError).size());
}

TEST(PcgNewGuidString, RegistryFormUpperCaseAndFresh) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        std::string guid = NewGuidString();
        ASSERT_EQ(38u, guid.size());
        EXPECT_EQ('{', guid.front());
        EXPECT_EQ('}', guid.back());
        for (size_t k = 1; k < 37; ++k) {
            char c = guid[k];
            if (k == 9 || k == 14 || k == 19 || k == 24) {
                EXPECT_EQ('-', c) << guid;
                continue;
            }
            EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << guid;
        }
        seen.insert(guid);
    }
    EXPECT_EQ(50u, seen.size());
}

TEST(PcgNewSessionId, StaysInRangeAndVaries) {
    std::set<int64_t> seen;
    for (int i = 0; i < 2000; ++i) {
        int64_t id = NewSessionId();
        ASSERT_GE(id, 0);
        ASSERT_LE(id, 65534);
        seen.insert(id);
    }
    // Re-seeded from a fast clock on every call: back-to-back calls differ.
    EXPECT_GT(seen.size(), 1500u);
}

TEST(PcgRandomInt, StaysInRange) {
    for (int i = 0; i < 1000; ++i) {
        int32_t n = RandomInt(2147483647);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, 2147483646);
        int32_t small = RandomInt(3);
        ASSERT_GE(small, 0);
        ASSERT_LE(small, 2);
    }
    EXPECT_EQ(0, RandomInt(0));
    EXPECT_EQ(0, RandomInt(-5));
}

TEST(PcgText, SameTextAndUpperCaseTouchOnlyAscii) {
    EXPECT_TRUE(SameText("Http://A", "hTTP://a"));
    EXPECT_FALSE(SameText("abc", "abcd"));
    EXPECT_FALSE(SameText("\xD6\xD0", "\xF6\xF0"));
    EXPECT_EQ("ABC\xD6\xD0-1", UpperCase("aBc\xD6\xD0-1"));
}

TEST(PcgChangeFileExt, ReplacesOrAppendsTheExtension) {
    EXPECT_EQ("C:\\d\\big.upbreak", ChangeFileExt("C:\\d\\big.bin", ".upbreak"));
    EXPECT_EQ("C:\\d\\big.upbreak", ChangeFileExt("C:\\d\\big", ".upbreak"));
    EXPECT_EQ("C:\\d.x\\big.upbreak", ChangeFileExt("C:\\d.x\\big", ".upbreak"));
    EXPECT_EQ("a.tar.upbreak", ChangeFileExt("a.tar.gz", ".upbreak"));
    EXPECT_EQ("dir/.upbreak", ChangeFileExt("dir/.hidden", ".upbreak"));
    EXPECT_EQ("C:.upbreak", ChangeFileExt("C:", ".upbreak"));
}

}  // namespace
}  // namespace pcg
