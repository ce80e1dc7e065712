#include "app/Directories.h"
#include "app/Log.h"
#include "app/Task.h"

#include "LogCapture.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <map>

using namespace pennant;
using testing_support::EncodeBase64;

namespace {

using Members = std::map<std::string, std::string>;

// Members as JSON strings, except those given raw (numbers, objects).
std::string Json(const Members& members, const Members& raw = {}) {
    std::string json = "{";
    for (const auto& [name, value] : members) {
        if (json.size() > 1) json += ",";
        json += "\"" + name + "\":\"" + value + "\"";
    }
    for (const auto& [name, value] : raw) {
        if (json.size() > 1) json += ",";
        json += "\"" + name + "\":" + value;
    }
    return json + "}";
}

// Text as the inside of a JSON string.
std::string JsonText(const std::string& text) {
    std::string json;
    for (unsigned char c : text) {
        char escape[8] = {};
        if (c == '\\' || c == '"') snprintf(escape, sizeof escape, "\\%c", c);
        else if (c < 0x20) snprintf(escape, sizeof escape, "\\u%04x", c);
        json += escape[0] ? std::string(escape) : std::string(1, static_cast<char>(c));
    }
    return json;
}

Members CompleteTask() {
    return {{"pid", "P7"},
            {"taskid", "42"},
            {"devid", "D1"},
            {"url", "http://127.0.0.1:1/setup.exe"},
            {"md5", "0123456789abcdef0123456789ABCDEF"},
            {"version", "2.0.1"},
            {"oldversion", "1.9"},
            {"fname", "setup.exe"},
            {"showname", EncodeBase64(u8"产品")},
            {"description", EncodeBase64("line one\nline two")},
            {"path", "HKEY_LOCAL_MACHINE/SOFTWARE/Aldermoor/Product"},
            {"exe", "product.exe"},
            {"logo", ""},
            {"bits", "64"}};
}

// Runs ParseTask with the log written to a file of the test's own and
// returns the records it wrote.
class ParseTaskTest : public ::testing::Test {
protected:
    bool Parse(const std::string& argument) {
        task = Task();
        bool ok = ParseTask(argument, task);
        FlushLog();
        return ok;
    }

    // Message parts of the records (the "[level] date time " prefix removed).
    std::vector<std::string> Messages() {
        std::vector<std::string> messages;
        for (const std::string& line : testing_support::Lines(log.Text())) {
            if (line.size() > 22 && line[0] == '[')
                messages.push_back(line.substr(1, 1) + " " + line.substr(24));
            else
                messages.push_back(line);
        }
        return messages;
    }

    pennant_test::LogCapture log;
    Task task;
};

}  // namespace

TEST_F(ParseTaskTest, ReadsEveryMemberAndLogsTheFieldsInOrder) {
    ASSERT_TRUE(Parse(EncodeBase64(Json(CompleteTask()))));
    EXPECT_EQ("P7", task.pid);
    EXPECT_EQ("42", task.taskid);
    EXPECT_EQ("D1", task.devid);
    EXPECT_EQ("setup.exe", task.fname);
    EXPECT_EQ("HKEY_LOCAL_MACHINE\\SOFTWARE\\Aldermoor\\Product", task.path);
    EXPECT_EQ(u8"产品", task.showname);  // UTF-8, decoded a second time
    EXPECT_EQ("line one\nline two", task.description);
    EXPECT_EQ(64, task.bits);
    EXPECT_TRUE(task.logoFile.empty());

    const std::vector<std::string> expected = {
        "2 pid = P7",
        "2 taskid = 42",
        "2 url = http://127.0.0.1:1/setup.exe",
        "2 md5 = 0123456789abcdef0123456789ABCDEF",
        "2 version = 2.0.1",
        "2 oldversion = 1.9",
        "2 path = HKEY_LOCAL_MACHINE\\SOFTWARE\\Aldermoor\\Product",
        "2 exe = product.exe",
        "2 bits = 64",
        "2 fname = setup.exe",
        "2 logo = ",
        "2 showname = \xb2\xfa\xc6\xb7",  // GBK
        "2 description = line one",
        "line two",
    };
    EXPECT_EQ(expected, Messages());
}

TEST_F(ParseTaskTest, BitsAcceptsNumberTextAndBlanksButNothingElse) {
    Members members = CompleteTask();
    members.erase("bits");
    for (const char* raw : {"64", "\"64\"", "\" 64 \"", "\"-7\""}) {
        ASSERT_TRUE(Parse(EncodeBase64(Json(members, {{"bits", raw}})))) << raw;
    }
    EXPECT_EQ(-7, task.bits);
    for (const char* raw : {"\"x64\"", "\"64x\"", "\"6 4\"", "64.5", "\"\"", "4294967360",
                            "{}", "[64]"}) {
        EXPECT_FALSE(Parse(EncodeBase64(Json(members, {{"bits", raw}})))) << raw;
    }
}

TEST_F(ParseTaskTest, Sha256IsOptionalButOnlyEverSixtyFourHexDigits) {
    const std::string digest(63, 'a');
    Members members = CompleteTask();
    for (const std::string& raw :
         std::vector<std::string>{"", "x" + digest, digest, digest + "a0", " " + digest + "a"}) {
        members["sha256"] = raw;
        EXPECT_FALSE(Parse(EncodeBase64(Json(members)))) << raw;
    }
    members["sha256"] = digest + "F";
    ASSERT_TRUE(Parse(EncodeBase64(Json(members))));
    EXPECT_EQ(digest + "F", task.sha256);
    ASSERT_TRUE(Parse(EncodeBase64(Json(CompleteTask()))));
    EXPECT_TRUE(task.sha256.empty());
}

TEST_F(ParseTaskTest, EmptyObjectFailsAtPidWithBothErrorLines) {
    const std::string argument = EncodeBase64("{}");
    ASSERT_FALSE(Parse(argument));
    std::vector<std::string> messages = Messages();
    ASSERT_EQ(4u, messages.size());
    EXPECT_NE(std::string::npos, messages[0].find("4 PARSE: "));
    EXPECT_NE(std::string::npos, messages[0].find("pid"));
    EXPECT_EQ(argument, messages[1]);
    // "解析命令行出错，请检查参数:" in GBK, followed by the decoded text.
    EXPECT_EQ("4 \xbd\xe2\xce\xf6\xc3\xfc\xc1\xee\xd0\xd0\xb3\xf6\xb4\xed\xa3\xac\xc7\xeb\xbc\xec"
              "\xb2\xe9\xb2\xce\xca\xfd:{}",
              messages[2]);
}

TEST_F(ParseTaskTest, MissingMemberKeepsTheFieldsReadBeforeIt) {
    Members members = CompleteTask();
    members.erase("md5");
    ASSERT_FALSE(Parse(EncodeBase64(Json(members))));
    EXPECT_EQ("P7", task.pid);
    EXPECT_EQ("http://127.0.0.1:1/setup.exe", task.url);
    EXPECT_TRUE(task.md5.empty());
    EXPECT_TRUE(task.version.empty());
}

TEST_F(ParseTaskTest, MalformedArgumentsFailWithoutCrashing) {
    std::string binary;
    for (int i = 0; i < 300000; ++i) binary.push_back(static_cast<char>((i * 7919) & 0xff));
    const std::vector<std::string> arguments = {
        "",
        "not base64 at all!",
        EncodeBase64("not json"),
        EncodeBase64("[1,2,3]"),
        EncodeBase64("\"pid\""),
        EncodeBase64("{\"pid\":"),
        EncodeBase64(std::string(100000, '[')),
        EncodeBase64(binary),
        std::string(30000, 'A'),
    };
    for (const std::string& argument : arguments) {
        EXPECT_FALSE(Parse(argument)) << argument.substr(0, 40);
    }
}

TEST_F(ParseTaskTest, FileNameMustBeAPlainName) {
    for (const char* name : {"", ".", "..", "..\\evil.exe", "a/b.exe", "c:setup.exe",
                             "C:\\Windows\\setup.exe", "CON", "con.exe", "Nul.txt.exe",
                             "AUX .exe", "prn", "COM1.exe", "lpt9", "a<b.exe", "a>b.exe",
                             "a\"b.exe", "a|b.exe", "a?.exe", "a*.exe", "tab\tname.exe",
                             "setup.exe.", "setup.exe "}) {
        Members members = CompleteTask();
        members["fname"] = JsonText(name);
        EXPECT_FALSE(Parse(EncodeBase64(Json(members)))) << name;
    }
    for (const char* name : {"Setup 2.0 (x64).exe", "COM0.exe", "COM10.exe", "console.exe",
                             "LPT.exe", "\x95\x5c.exe" /* GBK, trail byte backslash */,
                             "\xd5\x7c.exe" /* GBK, trail byte '|' */}) {
        Members members = CompleteTask();
        members["fname"] = name;
        EXPECT_TRUE(Parse(EncodeBase64(Json(members)))) << name;
    }
}

TEST_F(ParseTaskTest, ChineseTextsGiveTheSameAnsiFieldsRawInGbkRawInUtf8OrEscaped) {
    struct Encoding {
        const char* name;
        const char* path;
        const char* exe;
        const char* fname;
    } encodings[] = {
        {"GBK", "HKEY_LOCAL_MACHINE/\xb0\xc2\xb5\xc2/\xb2\xfa\xc6\xb7", "\xb2\xfa\xc6\xb7.exe",
         "\xb0\xb2\xd7\xb0\xb3\xcc\xd0\xf2.exe"},
        {"UTF-8", u8"HKEY_LOCAL_MACHINE/奥德/产品", u8"产品.exe", u8"安装程序.exe"},
        {"escapes", "HKEY_LOCAL_MACHINE/\\u5965\\u5fb7/\\u4ea7\\u54c1", "\\u4ea7\\u54c1.exe",
         "\\u5b89\\u88c5\\u7a0b\\u5e8f.exe"},
    };
    std::vector<std::string> firstMessages;
    for (const auto& e : encodings) {
        Members members = CompleteTask();
        members["path"] = e.path;
        members["exe"] = e.exe;
        members["fname"] = e.fname;
        const size_t logged = Messages().size();
        ASSERT_TRUE(Parse(EncodeBase64(Json(members)))) << e.name;
        EXPECT_EQ("HKEY_LOCAL_MACHINE\\\xb0\xc2\xb5\xc2\\\xb2\xfa\xc6\xb7", task.path) << e.name;
        EXPECT_EQ("\xb2\xfa\xc6\xb7.exe", task.exe) << e.name;
        EXPECT_EQ("\xb0\xb2\xd7\xb0\xb3\xcc\xd0\xf2.exe", task.fname) << e.name;
        EXPECT_EQ(u8"产品", task.showname) << e.name;
        const std::vector<std::string> all = Messages();
        const std::vector<std::string> mine(all.begin() + static_cast<long>(logged), all.end());
        if (firstMessages.empty()) firstMessages = mine;
        else EXPECT_EQ(firstMessages, mine) << e.name;
    }
    EXPECT_EQ(14u, firstMessages.size());
}

TEST_F(ParseTaskTest, ShownameThatIsNotBase64BecomesEmptyButTheTaskLoads) {
    Members members = CompleteTask();
    members["showname"] = "not base64!";
    members["description"] = "";
    ASSERT_TRUE(Parse(EncodeBase64(Json(members))));
    EXPECT_TRUE(task.showname.empty());
    EXPECT_TRUE(task.description.empty());
}
