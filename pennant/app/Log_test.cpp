#include "app/Log.h"

#include "TestFiles.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

using namespace pennant;
using testing_support::FileSize;
using testing_support::Lines;
using testing_support::ReadFile;
using testing_support::WriteFile;

namespace {

// Each test logs under a base name of its own in the real log directory
// (the process id in it keeps tests running side by side apart).
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetLogBaseName(("log_test_" + std::to_string(GetCurrentProcessId())).c_str());
        RemoveFiles();
    }
    void TearDown() override {
        CloseLog();
        RemoveFiles();
    }
    static void RemoveFiles() {
        DeleteFileA(LogFilePath(1).c_str());
        DeleteFileA(LogFilePath(2).c_str());
    }
    static void SetModified(const std::string& path, int secondsAgo) {
        HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER t{{now.dwLowDateTime, now.dwHighDateTime}};
        t.QuadPart -= static_cast<ULONGLONG>(secondsAgo) * 10000000ULL;
        FILETIME stamp{t.LowPart, t.HighPart};
        SetFileTime(file, nullptr, nullptr, &stamp);
        CloseHandle(file);
    }
    // Fills the open file past the rotation limit with records of `size` characters.
    static void LogPastLimit(size_t size) {
        const std::string filler(size, 'f');
        for (long written = 0; written < LogRotateBytes; written += static_cast<long>(size))
            Log(LogDetail, "%s", filler.c_str());
    }
};

const std::regex recordPattern(R"(\[[1-4]\] \d{4}-\d\d-\d\d \d\d:\d\d:\d\d .*)");

}  // namespace

TEST_F(LogTest, FirstRecordGoesToFileOneInTheRecordFormat) {
    OpenLog(false);
    Log(LogProgress, "hello %d", 7);
    CloseLog();
    std::vector<std::string> lines = Lines(ReadFile(LogFilePath(1)));
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0], recordPattern)) << lines[0];
    EXPECT_EQ("[2] ", lines[0].substr(0, 4));
    EXPECT_EQ(" hello 7", lines[0].substr(23));
    EXPECT_FALSE(testing_support::FileExists(LogFilePath(2)));
}

TEST_F(LogTest, RestartAppendsToTheNewerFileAndRotationEmptiesTheOther) {
    WriteFile(LogFilePath(1), "old history of file 1\n");
    WriteFile(LogFilePath(2), "recent history of file 2\n");
    SetModified(LogFilePath(1), 3600);
    SetModified(LogFilePath(2), 60);

    OpenLog(false);
    EXPECT_EQ(2, CurrentLogIndex());
    Log(LogDetail, "appended");
    std::string second = ReadFile(LogFilePath(2));
    EXPECT_EQ(0u, second.find("recent history of file 2\n"));
    EXPECT_NE(std::string::npos, second.find(" appended"));

    LogPastLimit(4000);
    EXPECT_EQ(1, CurrentLogIndex());
    Log(LogDetail, "after rotation");
    CloseLog();
    const std::string first = ReadFile(LogFilePath(1));
    EXPECT_EQ(std::string::npos, first.find("old history"));
    EXPECT_NE(std::string::npos, first.find(" after rotation"));
    EXPECT_GE(FileSize(LogFilePath(2)), LogRotateBytes);
}

TEST_F(LogTest, EqualTimesChooseFileOne) {
    WriteFile(LogFilePath(1), "one\n");
    WriteFile(LogFilePath(2), "two\n");
    SetModified(LogFilePath(1), 100);
    SetModified(LogFilePath(2), 100);
    OpenLog(false);
    EXPECT_EQ(1, CurrentLogIndex());
}

TEST_F(LogTest, LongMessageIsCutTo8191CharactersWithoutNewline) {
    OpenLog(false);
    Log(LogError, "%s", std::string(20000, 'x').c_str());
    LogWide(LogError, L"%ls", std::wstring(20000, L'y').c_str());
    CloseLog();
    const std::string text = ReadFile(LogFilePath(1));
    ASSERT_EQ(2u * 8191u, text.size());
    EXPECT_EQ('x', text[8190]);
    EXPECT_EQ('[', text[8191]);  // the cut record has no newline of its own
    EXPECT_EQ('y', text.back());
}

TEST_F(LogTest, WideRecordsAreWrittenInTheAnsiCodePage) {
    OpenLog(false);
    LogWide(LogProgress, L"showname = %ls", L"\u4EA7\u54C1");  // 产品
    CloseLog();
    EXPECT_NE(std::string::npos, ReadFile(LogFilePath(1)).find("showname = \xb2\xfa\xc6\xb7"));
}

TEST_F(LogTest, NothingIsWrittenWhileClosed) {
    Log(LogError, "before open");
    OpenLog(false);
    Log(LogError, "while open");
    CloseLog();
    Log(LogError, "after close");
    LogWide(LogError, L"after close");
    FlushLog();
    const std::string text = ReadFile(LogFilePath(1));
    EXPECT_EQ(std::string::npos, text.find("before open"));
    EXPECT_NE(std::string::npos, text.find("while open"));
    EXPECT_EQ(std::string::npos, text.find("after close"));
}

TEST_F(LogTest, ConcurrentWritersNeverSplitARecordAndRotateOnce) {
    OpenLog(false);
    constexpr int threads = 4;
    constexpr int perThread = 2500;
    const std::string payload(100, 'p');
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([t, &payload] {
            for (int i = 0; i < perThread; ++i) Log(LogDetail, "T%d #%d %s", t, i, payload.c_str());
        });
    }
    for (std::thread& w : writers) w.join();
    CloseLog();

    // About 1.3 MB: exactly one rotation, so both files together hold every record.
    std::set<std::string> seen;
    const std::regex line(R"(\[1\] \d{4}-\d\d-\d\d \d\d:\d\d:\d\d (T\d #\d+) p{100})");
    for (int index : {1, 2}) {
        for (const std::string& text : Lines(ReadFile(LogFilePath(index)))) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(text, m, line)) << text;
            EXPECT_TRUE(seen.insert(m[1]).second) << "duplicate " << m[1];
        }
    }
    EXPECT_EQ(static_cast<size_t>(threads * perThread), seen.size());
    EXPECT_GE(FileSize(LogFilePath(1)), LogRotateBytes);
    EXPECT_LT(FileSize(LogFilePath(2)), LogRotateBytes);
}

TEST(LogOpenFailure, LeavesTheLogClosedAndEveryCallSilent) {
    // '<' and '>' cannot stand in a Windows file name, so fopen fails.
    SetLogBaseName("bad<name>");
    OpenLog(false);
    Log(LogError, "nowhere to go");
    LogWide(LogError, L"nowhere to go");
    FlushLog();
    CloseLog();
    EXPECT_FALSE(testing_support::FileExists(LogFilePath(1)));
    SetLogBaseName("dovazidero_log");
}
