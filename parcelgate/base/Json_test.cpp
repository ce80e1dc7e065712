#include "base/Json.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <random>

namespace pcg {
namespace {

TEST(PcgJsonReader, AcceptsSingleAndDoubleQuotesAndIgnoresTrailingText) {
    JsonValue v;
    ASSERT_TRUE(ParseJson("{'access_token':'abc\"def', \"n\": 5}trailing junk {", v));
    EXPECT_TRUE(v.IsObject());
    EXPECT_EQ("abc\"def", v.GetString("access_token"));
    EXPECT_EQ(5, v.GetInt64("n"));

    // The progress service's answer after cutting: the object and nothing else matters.
    ASSERT_TRUE(ParseJson("{ \"state\" : \"uploading\", \"received\" : 100, \"size\" : 200 });\r\n", v));
    EXPECT_EQ("uploading", v.GetString("state"));
    EXPECT_EQ(100, v.GetInt64("received"));
    EXPECT_EQ(200, v.GetInt64("size"));

    ASSERT_TRUE(ParseJson("  \r\n\t[1, 'two', true, null, {}, []] ]]]", v));
    ASSERT_TRUE(v.IsArray());
    ASSERT_EQ(6u, v.Items().size());
    EXPECT_EQ("two", v.Items()[1].AsString());
    EXPECT_TRUE(v.Items()[2].AsBool());
    EXPECT_TRUE(v.Items()[3].IsNull());
}

TEST(PcgJsonReader, ValuesOtherThanObjectsParseButHaveNoMembers) {
    JsonValue v;
    ASSERT_TRUE(ParseJson("\"just text\"", v));
    EXPECT_FALSE(v.IsObject());
    EXPECT_EQ("", v.GetString("access_token"));
    EXPECT_EQ("fallback", v.GetString("access_token", "fallback"));
    ASSERT_TRUE(ParseJson("42x", v));
    EXPECT_EQ(42, v.AsInt64());
    ASSERT_TRUE(ParseJson("{}", v));
    EXPECT_EQ("", v.GetString("access_token"));
}

TEST(PcgJsonReader, LenientScalarConversions) {
    JsonValue v;
    ASSERT_TRUE(ParseJson("{'token': 12345678901, 'f': 2.5e3, 'neg': -7, 's': '77', 'o': {'a':1},"
                          " 'big': 123456789012345678901234567890, 'dup': 1, 'dup': 2}", v));
    EXPECT_EQ("12345678901", v.GetString("token"));
    EXPECT_EQ(12345678901, v.GetInt64("token"));
    EXPECT_EQ(2500, v.GetInt64("f"));
    EXPECT_EQ("2.5e3", v.GetString("f"));
    EXPECT_EQ(-7, v.GetInt64("neg"));
    EXPECT_EQ(77, v.GetInt64("s"));
    EXPECT_EQ("", v.GetString("o"));
    EXPECT_EQ(INT64_MAX, v.GetInt64("big"));
    EXPECT_EQ(2, v.GetInt64("dup"));
    EXPECT_EQ(7u, v.Members().size());
    EXPECT_EQ(-1, v.GetInt64("missing", -1));
}

TEST(PcgJsonReader, EscapesIncludingUnicodeIntoTheAnsiCodePage) {
    JsonValue v;
    ASSERT_TRUE(ParseJson(R"(["a\"b\\c\/d\n\t\r\b\f", 'it\'s', "\q", "\u0041\u0000z"])", v));
    EXPECT_EQ("a\"b\\c/d\n\t\r\b\f", v.Items()[0].AsString());
    EXPECT_EQ("it's", v.Items()[1].AsString());
    EXPECT_EQ("q", v.Items()[2].AsString());
    EXPECT_EQ(std::string("A\0z", 3), v.Items()[3].AsString());
    ASSERT_TRUE(ParseJson(R"("\u4E2D\u6587.txt")", v));
    if (GetACP() == 936) {
        EXPECT_EQ("\xD6\xD0\xCE\xC4.txt", v.AsString());  // 中文 in GBK
    }
    // Raw ANSI bytes pass through untouched.
    ASSERT_TRUE(ParseJson("'\xD6\xD0\x80\xFF'", v));
    EXPECT_EQ("\xD6\xD0\x80\xFF", v.AsString());
}

TEST(PcgJsonReader, RejectsTextWithoutACompleteFirstValue) {
    JsonValue v;
    for (const char* text : {"", "   ", "abc", "{", "{'a'", "{'a':", "{'a':1", "{'a':1,", "{a:1}", "[1,", "[1 2]",
                             "'open", "-", "1.", "1e", "tru", "{'a' 1}", "{,}", "\"\\u12\"", "\"\\"}) {
        EXPECT_FALSE(ParseJson(text, v)) << text;
        EXPECT_TRUE(v.IsNull());
    }
    // Every proper prefix of a document that ends with its last byte is incomplete.
    const std::string full = "{\"size\":10301,\"hash\":\"\",\"url\":\"http://h/u?access_token=t\",\"a\":[1,{'b':null}]}";
    for (size_t n = 0; n < full.size(); ++n) EXPECT_FALSE(ParseJson(full.substr(0, n), v)) << n;
    EXPECT_TRUE(ParseJson(full, v));
}

TEST(PcgJsonReader, NestingIsBoundedNotRecursedWithoutLimit) {
    JsonValue v;
    std::string ok = std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']');
    EXPECT_TRUE(ParseJson(ok, v));
    std::string deep = std::string(kMaxJsonDepth + 1, '[') + std::string(kMaxJsonDepth + 1, ']');
    EXPECT_FALSE(ParseJson(deep, v));
    EXPECT_FALSE(ParseJson(std::string(2000000, '['), v));
    std::string objects;
    for (int i = 0; i < 100000; ++i) objects += "{'a':";
    EXPECT_FALSE(ParseJson(objects, v));
}

TEST(PcgJsonReader, SurvivesArbitraryBytes) {
    std::mt19937 random(1234);
    const std::string alphabet = "{}[]:,'\"\\u0123456789abcdefnulltrue-+.eE \r\n\t\x80\xff";
    JsonValue v;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        size_t length = random() % 64;
        for (size_t i = 0; i < length; ++i)
            text += round % 2 ? static_cast<char>(random()) : alphabet[random() % alphabet.size()];
        ParseJson(text, v);  // any answer, no crash
    }
}

TEST(PcgJsonWriter, CompactInInsertionOrderWithRawAnsiBytes) {
    JsonValue record = JsonValue::Object();
    record.Set("size", JsonValue::Integer(10301));
    record.Set("uploadsize", JsonValue::Integer(0));
    record.Set("uid", JsonValue::Integer(65534));
    record.Set("start", JsonValue::Integer(0));
    record.Set("end", JsonValue::Integer(-1));
    record.Set("pos", JsonValue::Integer(INT64_MAX));
    record.Set("hash", JsonValue::String(""));
    record.Set("url", JsonValue::String("http://h/up?access_token=t\"q\\"));
    record.Set("filename", JsonValue::String("C:\\\xD6\xD0\x01\n.bin"));
    const std::string text = WriteJson(record);
    EXPECT_EQ("{\"size\":10301,\"uploadsize\":0,\"uid\":65534,\"start\":0,\"end\":-1,"
              "\"pos\":9223372036854775807,\"hash\":\"\",\"url\":\"http://h/up?access_token=t\\\"q\\\\\","
              "\"filename\":\"C:\\\\\xD6\xD0\\u0001\\n.bin\"}",
              text);

    JsonValue back;
    ASSERT_TRUE(ParseJson(text, back));
    EXPECT_EQ(text, WriteJson(back));
    EXPECT_EQ(INT64_MAX, back.GetInt64("pos"));
    EXPECT_EQ("C:\\\xD6\xD0\x01\n.bin", back.GetString("filename"));
}

TEST(PcgJsonWriter, OtherKinds) {
    JsonValue array = JsonValue::Array();
    array.Append(JsonValue());
    array.Append(JsonValue::Bool(false));
    array.Append(JsonValue::Float(0.5));
    array.Append(JsonValue::Object());
    array.Append(JsonValue::Integer(INT64_MIN));
    EXPECT_EQ("[null,false,0.5,{},-9223372036854775808]", WriteJson(array));
    // Set replaces in place.
    JsonValue object = JsonValue::Object();
    object.Set("a", JsonValue::Integer(1));
    object.Set("b", JsonValue::Integer(2));
    object.Set("a", JsonValue::String("x"));
    EXPECT_EQ("{\"a\":\"x\",\"b\":2}", WriteJson(object));
}

}  // namespace
}  // namespace pcg
