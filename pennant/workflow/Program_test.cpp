#include "workflow/Program.h"

#include "app/Directories.h"

#include "HttpPeers.h"
#include "PennantProcess.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace pennant;
using testing_support::EncodeBase64;
using testing_support::LogTail;
using testing_support::PennantProcess;
using testing_support::RecordedRequests;

namespace {

std::string ValidTask() {
    return EncodeBase64(
        "{\"pid\":\"P1\",\"taskid\":\"42\",\"devid\":\"D1\","
        "\"url\":\"http://127.0.0.1:9/setup.exe\",\"md5\":\"00\",\"version\":\"2.0\","
        "\"oldversion\":\"1.0\",\"fname\":\"setup.exe\",\"showname\":\"" +
        EncodeBase64("Product") + "\",\"description\":\"\",\"path\":\"HKEY_CURRENT_USER/Software/X\","
        "\"exe\":\"x.exe\",\"logo\":\"\",\"bits\":32}");
}

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

// The real program under Wine: exit codes and what it leaves in its log.
TEST(PennantProgram, UndecodableArgumentExitsOneWithTheParseLines) {
    LogTail log(GetAppDataDirectory());
    PennantProcess pennant("%%%not-base64%%%");
    ASSERT_TRUE(pennant.Started());
    EXPECT_EQ(1, pennant.Wait(60000));
    const std::string text = log.Appended();
    EXPECT_TRUE(Contains(text, " command line : %%%not-base64%%%"));
    EXPECT_TRUE(Contains(text, " PARSE: "));
    EXPECT_TRUE(Contains(text, "\xbd\xe2\xce\xf6\xc3\xfc\xc1\xee\xd0\xd0"));  // 解析命令行 in GBK
    EXPECT_TRUE(Contains(text, " return code = 1"));

    // The refused task is still reported, with the ids it never read.
    const std::vector<std::string> reports = RecordedRequests("HTTP_FEEDBACK_REQUESTS");
    ASSERT_EQ(1u, reports.size());
    EXPECT_TRUE(Contains(reports[0], "\r\n\r\ndeviceid=&taskid=&status=9"));
}

TEST(PennantProgram, EmptyTailIsARefusedTask) {
    PennantProcess pennant("");
    EXPECT_EQ(1, pennant.Wait(60000));
}

TEST(PennantProgram, SecondCopyExitsSixAndBothLogIntoTheSameFile) {
    LogTail log(GetAppDataDirectory());
    PennantProcess first("ignored words " + ValidTask());
    ASSERT_TRUE(first.Started());
    HWND window = first.FindWindow("DOVAZIDERO", 30000);
    ASSERT_NE(nullptr, window) << "the first copy did not create its window";
    EXPECT_EQ(-1, first.Wait(0));

    PennantProcess second(ValidTask());
    EXPECT_EQ(6, second.Wait(60000));
    EXPECT_EQ(-1, first.Wait(0)) << "the first copy must keep running";

    // A WM_CLOSE during the offer ends the program as every way out of the
    // offer does: cancelled, exit code 1.
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(1, first.Wait(30000));

    const std::string text = log.Appended();
    EXPECT_TRUE(Contains(text, " pennant is running !"));
    EXPECT_TRUE(Contains(text, " return code = 6"));
    EXPECT_TRUE(Contains(text, " pid = P1"));
    EXPECT_TRUE(Contains(text, " return code = 1"));
}

TEST(PennantProgram, CopiesStartedAtOnceLeaveExactlyOneRunning) {
    // Three copies start together; the third is slow to reach its check (it
    // stays suspended), so the first two each see more copies than
    // themselves whatever order they run in.
    std::vector<std::unique_ptr<PennantProcess>> copies;
    for (int i = 0; i < 3; ++i) {
        copies.push_back(std::make_unique<PennantProcess>(ValidTask(), PennantProcess::Suspended));
        ASSERT_TRUE(copies.back()->Started());
    }
    for (DWORD waited = 0; InstanceCount() < 3 && waited < 10000; waited += 20) Sleep(20);
    ASSERT_TRUE(copies[0]->Resume() && copies[1]->Resume());

    PennantProcess* runner = nullptr;
    for (DWORD waited = 0; !runner && waited < 60000; waited += 50) {
        if (copies[0]->Wait(0) == 6) runner = copies[1].get();
        else if (copies[1]->Wait(0) == 6) runner = copies[0].get();
        else Sleep(50);
    }
    ASSERT_NE(nullptr, runner) << "neither copy stepped back with exit code 6";
    HWND window = runner->FindWindow("DOVAZIDERO", 30000);
    ASSERT_NE(nullptr, window) << "the other copy did not go on";

    ASSERT_TRUE(copies[2]->Resume());
    EXPECT_EQ(6, copies[2]->Wait(60000)) << "the late copy steps back too";
    EXPECT_EQ(-1, runner->Wait(0));
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(1, runner->Wait(30000));
}
