// The workflow end to end: the real pennant.exe under Wine against nginx, the
// fault server and the feedback recorder, driven along each road a task can
// take. Every run checks its exit code, the reports the service received (in
// order) and its key log lines.
#include "app/Codes.h"

#include "PennantRun.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using namespace pennant;
using namespace testing_support;

namespace {

const bool peerHistoryReset = ResetPeersBeforeEachTest();

const char LaunchFailedText[] = "启动安装包失败，请下次重试。";

struct Scenario {
    const char* name;
    Server server;
    const char* options;  // the fault server's, "-" for none
    size_t size;          // bytes of the (random) installer
    bool rightMd5;
    void (*drive)(PennantRun&);
    long exitCode;
    std::vector<int> reports;
    std::vector<const char*> logLines;
    bool installerLeft;  // the installer is still in the download directory
};

// The GET requests the fault server received, oldest first.
std::vector<std::string> FaultGets() {
    std::vector<std::string> gets;
    for (const auto& request : RecordedRequests("HTTP_FAULT_REQUESTS"))
        if (request.rfind("GET ", 0) == 0) gets.push_back(request);
    return gets;
}

bool WaitForBytes(const std::string& path) {
    for (int i = 0; i < 600 && FileSize(path) <= 0; ++i) Sleep(50);
    return FileSize(path) > 0;
}

// The launch of random bytes fails: after the shell's own error box the
// outcome shows in the shrunk window.
void ExpectLaunchFailureShown(const PennantRun& run) {
    ASSERT_TRUE(run.AcceptShellErrorBox());
    ASSERT_TRUE(run.WaitPhase(Finished));
    EXPECT_EQ(LaunchFailedText, run.StatusText());
    EXPECT_TRUE(IsWindowVisible(run.Window())) << "the outcome brings the window back";
    RECT r = {};
    GetWindowRect(run.Window(), &r);
    EXPECT_EQ(170, r.bottom - r.top);
}

void AcceptByClick(PennantRun& run) {
    run.Click(UpgradeCommand);
    ExpectLaunchFailureShown(run);
    run.Command(DoneCommand);
}

void RefuseByClick(PennantRun& run) { run.Click(RefuseCommand); }

void CloseMessage(PennantRun& run) { run.Post(WM_CLOSE, 0, 0); }

void OfferTimerFires(PennantRun& run) { run.Post(WM_TIMER, OfferTimer, 0); }

void SecondUpgradeAndLateOfferTimer(PennantRun& run) {
    run.Command(UpgradeCommand);
    run.Command(UpgradeCommand);
    run.Post(WM_TIMER, OfferTimer, 0);
    ASSERT_TRUE(run.WaitLog("timeout but we are working, ignore!!"));
    EXPECT_EQ(Downloading, run.Phase());
    RECT work = {}, r = {};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(run.Window(), &r);
    EXPECT_EQ(work.bottom, r.bottom) << "the window shrinks once";
    run.Command(ExitCommand);  // stops the slow download
}

void PauseAndResume(PennantRun& run) {
    run.Command(UpgradeCommand);
    ASSERT_TRUE(WaitForBytes(run.InstallerFile(".part")));
    run.Command(PauseCommand);
    ASSERT_TRUE(run.WaitLog("download over, errno = 4"));
    EXPECT_EQ(Paused, run.Phase());
    const long long kept = FileSize(run.InstallerFile(".part"));
    run.Command(ResumeCommand);
    ExpectLaunchFailureShown(run);
    const auto gets = FaultGets();
    ASSERT_EQ(2u, gets.size());
    EXPECT_NE(std::string::npos, gets[1].find("\r\nRange: bytes=" + std::to_string(kept) + "-\r\n"))
        << gets[1];
    run.Command(DoneCommand);
}

void LoseTheNetwork(PennantRun& run) {
    run.Command(UpgradeCommand);
    ASSERT_TRUE(run.WaitPhase(NetworkLost));
    EXPECT_EQ("当前网络不可用,请检查网络", run.StatusText());
}

void LoseTheNetworkThenRetry(PennantRun& run) {
    LoseTheNetwork(run);
    run.Command(RetryCommand);
    ExpectLaunchFailureShown(run);
    run.Command(DoneCommand);
}

void LoseTheNetworkThenExit(PennantRun& run) {
    LoseTheNetwork(run);
    run.Command(ExitCommand);
}

// Nobody closes the failure: its timer does, ten seconds later.
void DownloadBroken(PennantRun& run) {
    run.Command(UpgradeCommand);
    ASSERT_TRUE(run.WaitPhase(DownloadFailed));
    EXPECT_EQ("安装文件损坏，请重新下载。", run.StatusText());
    EXPECT_FALSE(FileExists(run.InstallerFile(".part")));
}

void SessionEnds(PennantRun& run) {
    EXPECT_EQ(TRUE, run.Send(WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
    run.Post(WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
}

const Scenario Scenarios[] = {
    {"AcceptByClickThenLaunchFails", Server::Nginx, "-", 300000, true, AcceptByClick, 4,
     {Accepted, Downloaded, LaunchError},
     {"download over, errno = 0", "install over, phrase = 4, errno = "}, true},
    {"RefuseByClick", Server::Nginx, "-", 1000, true, RefuseByClick, 1, {Refused}, {}, false},
    {"CloseMessageDuringTheOffer", Server::Nginx, "-", 1000, true, CloseMessage, 0, {}, {},
     false},
    {"OfferTimesOut", Server::Nginx, "-", 1000, true, OfferTimerFires, 5, {OfferTimedOut}, {},
     false},
    {"SecondUpgradeAndLateOfferTimerChangeNothing", Server::Fault, "rate=100000", 2000000,
     true, SecondUpgradeAndLateOfferTimer, 1, {Accepted, Cancelled}, {}, false},
    {"PauseAndResumeFromThePartFile", Server::Fault, "rate=300000", 600000, true,
     PauseAndResume, 4, {Accepted, Downloaded, LaunchError},
     {"user pause download", "download over, errno = 4"}, true},
    {"NetworkLostThenRetry", Server::Fault, "cutonce=200000", 600000, true,
     LoseTheNetworkThenRetry, 4, {Accepted, Downloaded, LaunchError},
     {"connection break detected", "download over, errno = 5"}, true},
    {"NetworkLostThenExit", Server::Fault, "cut=200000", 600000, true, LoseTheNetworkThenExit,
     2, {Accepted, DownloadError}, {"download over, errno = 5"}, false},
    {"WrongMd5ClosesByItself", Server::Nginx, "-", 300000, false, DownloadBroken, 2,
     {Accepted, DownloadError}, {"download over, errno = 2"}, false},
    {"SessionEndsDuringTheOffer", Server::Nginx, "-", 1000, true, SessionEnds, 1, {Cancelled},
     {"recv WM_QUERYENDSESSINO, wParam = 0x0, lParam = 0x80000000, status = 0",
      "recv WM_ENDSESSINO, wParam = 0x1, lParam = 0x80000000, status = 0"},
     false},
};

// CTest lists each run by its name rather than by its bytes.
void PrintTo(const Scenario& s, std::ostream* out) { *out << s.name; }

class Workflow : public ::testing::TestWithParam<Scenario> {};

TEST_P(Workflow, EndsWithItsCodeReportsAndLog) {
    const Scenario& s = GetParam();
    RunTask task = RunTask::Named(std::string("e2e-") + s.name + ".exe");
    task.Serve(s.server, s.options, Pattern(s.size, 7));
    if (!s.rightMd5) task.md5 = "0123456789abcdef0123456789abcdef";
    PennantRun run(task);
    ASSERT_NE(nullptr, run.WaitForOffer()) << "the offer never reached its place";

    s.drive(run);
    if (HasFatalFailure()) return;
    EXPECT_EQ(s.exitCode, run.Exit());
    EXPECT_EQ(run.Bodies(s.reports), run.ReportBodies());
    const std::string log = run.Log();
    for (const char* line : s.logLines) EXPECT_NE(std::string::npos, log.find(line)) << line;
    EXPECT_NE(std::string::npos, log.find(" return code = " + std::to_string(s.exitCode)));
    EXPECT_EQ(s.installerLeft, FileExists(run.InstallerFile()));
}

INSTANTIATE_TEST_SUITE_P(Runs, Workflow, ::testing::ValuesIn(Scenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
