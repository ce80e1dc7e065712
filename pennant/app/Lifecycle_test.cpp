#include "app/Directories.h"
#include "app/Lifecycle.h"
#include "app/Log.h"

#include "TestFiles.h"

#include <shellapi.h>

#include <gtest/gtest.h>

using namespace pennant;

namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(ArgumentFromCommandLine, TakesTheTextAfterTheLastSpace) {
    EXPECT_EQ("third", ArgumentFromCommandLine("first second third"));
    EXPECT_EQ("whole", ArgumentFromCommandLine("whole"));
    EXPECT_EQ("", ArgumentFromCommandLine(""));
    EXPECT_EQ("", ArgumentFromCommandLine("ends with space "));
    EXPECT_EQ("\"quoted\"", ArgumentFromCommandLine("x \"quoted\""));
    EXPECT_EQ("", ArgumentFromCommandLine(nullptr));
}

TEST(OsVersionProbe, AnswersTheFullRecordSizeOnThisSystemAndLogsTheClass) {
    SetLogBaseName("probe_test");
    DeleteFileA(LogFilePath(1).c_str());
    OpenLog(false);
    const DWORD size = OsVersionProbe();
    CloseLog();
    const std::string text = testing_support::ReadFile(LogFilePath(1));
    DeleteFileA(LogFilePath(1).c_str());

    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(GetVersionExA(&info));
#pragma GCC diagnostic pop
    EXPECT_TRUE(Contains(text, "OS Major " + std::to_string(info.dwMajorVersion) + ", Minor " +
                                   std::to_string(info.dwMinorVersion)));
    if (info.dwMajorVersion == 6 && info.dwMinorVersion == 1) {
        EXPECT_TRUE(Contains(text, "Win7 detected"));
        EXPECT_EQ(sizeof(NOTIFYICONDATAA), size);
    }
    EXPECT_TRUE(size == sizeof(NOTIFYICONDATAA) || size == NOTIFYICONDATAA_V1_SIZE);
}

