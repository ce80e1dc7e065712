// The workflow end to end: the real pennant.exe under Wine against nginx, the
// fault server and the feedback recorder, driven along each road a task can
// take. Every run checks its exit code, the reports the service received (in
// order) and its key log lines.
#include "app/Codes.h"
#include "app/Handles.h"
#include "http/DownloadJob.h"

#include "PennantRun.h"
#include "TestAuthority.h"
#include "TestInstaller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

using namespace pennant;
using namespace testing_support;

namespace {

const bool peerHistoryReset = ResetPeersBeforeEachTest();
const TrustedTestAuthority authority;  // the https rows' server

const char LaunchFailedText[] = "启动安装包失败，请下次重试。";
const char InstalledText[] = "恭喜您软件已成功升级至 3.1.0.7。";  // the task's version

// What the served installer is: random bytes, or test_installer.exe that
// writes the product key with the task's version, with another version, or
// that never ends.
enum class Product { None, Installs, WrongVersion, Hangs, ReadsItself };

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
    Product product = Product::None;
    const char* shown = nullptr;  // the status line the run ends on, then Done
    const char* launch = nullptr;  // the test build's shell seam: noprocess, declined
};

// The product key the test installer writes and the task names, and the
// directory it installs into; both gone after the run.
struct ProductPlace {
    explicit ProductPlace(const std::string& leaf)
        : key(HKEY_CURRENT_USER, "HKEY_CURRENT_USER", leaf) {}
    ScratchProductKey key;
    TempDir dir{"prd"};
};

// The installer's bytes for `product`, installing into `place`.
std::string InstallerBytes(Product product, size_t size, const ProductPlace& place,
                           const RunTask& task) {
    if (product == Product::None) return Pattern(size, 7);
    InstallerPlan plan;
    plan.key = place.key.Text();
    plan.view = 64;
    plan.path = place.dir / "Product";
    plan.version = product == Product::WrongVersion ? task.oldversion : task.version;
    plan.forever = product == Product::Hangs;
    plan.readsItself = product == Product::ReadsItself;
    const std::string file = place.dir / "setup.exe";
    EXPECT_TRUE(WriteTestInstaller(file, plan));
    return ReadFile(file);
}

// A task for `place` (the JSON carries the key with forward slashes).
RunTask TaskFor(const std::string& name, const ProductPlace& place) {
    RunTask task = RunTask::Named(std::string("e2e-") + name + ".exe");
    task.path = place.key.Text();
    std::replace(task.path.begin(), task.path.end(), '\\', '/');
    return task;
}

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

// The launch of random bytes fails, with no message box of the shell
// waiting for somebody: the outcome shows in the shrunk window.
void ExpectLaunchFailureShown(const PennantRun& run) {
    ASSERT_TRUE(run.WaitPhase(Finished));
    EXPECT_EQ(LaunchFailedText, run.WaitStatusText(LaunchFailedText));
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
    run.Command(PauseCommand);  // no worker yet: both change nothing
    run.Post(WM_DOWNLOAD_OVER, DownloadReady, 0);
    ASSERT_TRUE(run.WaitLog("download over, errno = 0"));
    for (int id : {UpgradeCommand, UpgradeCommand, RefuseCommand, DoneCommand}) run.Command(id);
    run.Post(WM_COMMAND, MAKEWPARAM(ExitCommand, 1), 0);
    for (UINT stray : {WM_TASK_READY, WM_INSTALL_OVER, UINT{WM_TIMER}}) run.Post(stray, 99, 0);
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
    const std::string lost = "当前网络不可用,请检查网络";
    EXPECT_EQ(lost, run.WaitStatusText(lost));
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
    const std::string broken = "安装文件损坏，请重新下载。";
    EXPECT_EQ(broken, run.WaitStatusText(broken));
    EXPECT_FALSE(FileExists(run.InstallerFile(".part")));
}

// The installer ran: its outcome shows, the files go only after a success.
void InstallAndFinish(PennantRun& run, const char* text, int command) {
    run.Command(UpgradeCommand);
    ASSERT_TRUE(run.WaitPhase(Finished));
    EXPECT_EQ(text, run.WaitStatusText(text));
    EXPECT_EQ(text != InstalledText, FileExists(run.InstallerFile(".meta")));
    run.Command(command);
}

void InstallThenDone(PennantRun& run) { InstallAndFinish(run, InstalledText, DoneCommand); }
void InstallThenExit(PennantRun& run) { InstallAndFinish(run, InstalledText, ExitCommand); }
void InstallFailsItsCheck(PennantRun& run) {
    InstallAndFinish(run, "未能成功安装，请下次重试。", DoneCommand);
}

// Sent as Windows sends it, answered within its five seconds; an end that
// another program cancelled changes nothing.
template <WPARAM ending>
void SessionEndDuringTheDownload(PennantRun& run) {
    run.Command(UpgradeCommand);
    ASSERT_TRUE(WaitForBytes(run.InstallerFile(".part")));
    const DWORD start = GetTickCount();
    run.Send(WM_ENDSESSION, ending, ENDSESSION_LOGOFF);
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_TRUE(ending || run.Phase() == Downloading);
}

// The wait for a hanging installer ends otherwise than by its exit.
template <WPARAM outcome>
void InstallerWaitEnds(PennantRun& run) {
    run.Command(UpgradeCommand);
    ASSERT_TRUE(run.WaitLog("pid of chlid process to wait is "));
    run.Post(WM_INSTALL_OVER, outcome, 0);
}

// The worker's result as the controller reads it, from a download that is
// still running; the outcome is shown until Done.
template <WPARAM result>
void DownloadEndsWith(PennantRun& run) {
    run.Command(UpgradeCommand);
    ASSERT_TRUE(WaitForBytes(run.InstallerFile(".part")));
    run.Post(WM_DOWNLOAD_OVER, result, 0);
}

// The installer's process id, as the wait thread logged it.
DWORD InstallerPid(const std::string& log) {
    const std::string mark = "pid of chlid process to wait is ";
    const size_t at = log.find(mark);
    return at == std::string::npos ? 0 : std::strtoul(log.c_str() + at + mark.size(), nullptr, 10);
}

// The session may not end under a running installer, but it ends anyway.
void SessionEndsDuringTheInstallation(PennantRun& run) {
    run.Command(UpgradeCommand);
    ASSERT_TRUE(run.WaitPhase(Installing));
    ASSERT_TRUE(run.WaitLog("pid of chlid process to wait is "));
    EXPECT_EQ(FALSE, run.Send(WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
    run.Command(ExitCommand);  // ignored while installing, as WM_CLOSE is
    run.Post(WM_CLOSE, 0, 0);
    run.Send(WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
}

// The installer the wait was left with; it ends with the test.
void EndTheHangingInstaller(const PennantRun& run) {
    UniqueKernelHandle installer(
        OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, InstallerPid(run.Log())));
    ASSERT_TRUE(installer.Valid());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(installer.Get(), 0));
    TerminateProcess(installer.Get(), 1);
    WaitForSingleObject(installer.Get(), 10000);
}

// The flags are unsigned: 0x80000000 does not fit a 32-bit LPARAM template argument.
template <DWORD how = ENDSESSION_LOGOFF>
void SessionEnds(PennantRun& run) {
    EXPECT_EQ(TRUE, run.Send(WM_QUERYENDSESSION, 0, how));
    run.Send(WM_ENDSESSION, TRUE, how);
}

// Every way out of a shown outcome keeps its report and exit code.
void ExitOut(PennantRun& run) { run.Command(ExitCommand); }
template <void (*out)(PennantRun&)>
void InstallThen(PennantRun& run) {
    run.Command(UpgradeCommand);
    ASSERT_TRUE(run.WaitPhase(Finished));
    out(run);
}
template <void (*out)(PennantRun&)>
void BrokenThen(PennantRun& run) {
    DownloadBroken(run);
    out(run);
}

const Scenario Scenarios[] = {
    {"AcceptByClickThenLaunchFails", Server::Nginx, "-", 300000, true, AcceptByClick, 4,
     {Accepted, Downloaded, LaunchError},
     {"download over, errno = 0", "install over, phrase = 4, errno = "}, true},
    {"RefuseByClick", Server::Nginx, "-", 1000, true, RefuseByClick, 1, {Refused}, {}, false},
    {"CloseMessageDuringTheOffer", Server::Nginx, "-", 1000, true, CloseMessage, 1, {Cancelled},
     {}, false},
    {"ExitDuringTheOffer", Server::Nginx, "-", 1000, true, ExitOut, 1, {Cancelled}, {}, false},
    {"RestartManagerClosesTheOffer", Server::Nginx, "-", 1000, true,
     SessionEnds<ENDSESSION_CLOSEAPP>, 1, {Cancelled}, {"Shell_NotifyIcon destroy"}, false},
    {"OfferTimesOut", Server::Nginx, "-", 1000, true, OfferTimerFires, 5, {OfferTimedOut}, {},
     false},
    {"SecondUpgradeAndLateOfferTimerChangeNothing", Server::Fault, "rate=100000", 2000000,
     true, SecondUpgradeAndLateOfferTimer, 1, {Accepted, Cancelled},
     {"task ready but we are working, ignore!!", "timer 99 is none of ours, ignore!!"}, false},
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
    {"SessionEndsDuringTheOffer", Server::Nginx, "-", 1000, true, SessionEnds<>, 1, {Cancelled},
     {"recv WM_QUERYENDSESSINO, wParam = 0x0, lParam = 0x80000000, status = 0",
      "recv WM_ENDSESSINO, wParam = 0x1, lParam = 0x80000000, status = 0"},
     false},
    {"InstallsThenDone", Server::Nginx, "-", 0, true, InstallThenDone, 0,
     {Accepted, Downloaded, InstallStarted, Installed},
     {"ShellExecute OK", "install over, phrase = 1, errno = 0", "Install check : PASS"}, false,
     Product::Installs},
    {"InstallsThenExit", Server::Nginx, "-", 0, true, InstallThenExit, 0,
     {Accepted, Downloaded, InstallStarted, Installed}, {"Install check : PASS"}, false,
     Product::Installs},
    {"InstallsThenSessionEnds", Server::Nginx, "-", 0, true, InstallThen<SessionEnds<>>, 0,
     {Accepted, Downloaded, InstallStarted, Installed}, {}, false, Product::Installs},
    {"WrongMd5ThenExit", Server::Nginx, "-", 300000, false, BrokenThen<ExitOut>, 2,
     {Accepted, DownloadError}, {}, false},
    {"WrongMd5ThenCloseMessage", Server::Nginx, "-", 300000, false, BrokenThen<CloseMessage>, 2,
     {Accepted, DownloadError}, {}, false},
    {"WrongMd5ThenSessionEnds", Server::Nginx, "-", 300000, false, BrokenThen<SessionEnds<>>, 2,
     {Accepted, DownloadError}, {}, false},
    // The shell started the installer but gave no process: judged at once.
    {"LaunchWithoutAProcess", Server::Nginx, "-", 0, true, InstallThen<ExitOut>, 4,
     {Accepted, Downloaded, InstallStarted, InstallFailed},
     {"ShellExecute OK", "no installer process to wait for, check the installation now"}, true,
     Product::WrongVersion, nullptr, "noprocess"},
    {"ElevationDeclined", Server::Nginx, "-", 300000, true,
     [](PennantRun& run) { run.Command(UpgradeCommand); }, 1, {Accepted, Downloaded, Refused},
     {"the user declined elevation"}, true, Product::None, LaunchFailedText, "declined"},
    {"InstallsOverHttps", Server::NginxTls, "HTTPS_NGINX_PORT", 0, true, InstallThenDone, 0,
     {Accepted, Downloaded, InstallStarted, Installed}, {"download OK", "Install check : PASS"},
     false, Product::Installs},
    // A certificate nobody here trusts: no byte arrives, the network is
    // blamed as for any server that cannot be reached safely. WinHTTP's
    // secure failure is 12175 on Windows, 12157 under Wine.
    {"UntrustedCertificateIsNoDownload", Server::NginxTls, "HTTPS_UNTRUSTED_PORT", 1000, true,
     LoseTheNetworkThenExit, 2, {Accepted, DownloadError},
     {"WinHttpSendRequest failed, errno = 121", "download over, errno = 5"}, false},
    {"InstallFailsItsCheck", Server::Nginx, "-", 0, true, InstallFailsItsCheck, 4,
     {Accepted, Downloaded, InstallStarted, InstallFailed},
     {"version unmatch, 3.0.0.1 (curr) != 3.1.0.7 (expect), install fail"}, true,
     Product::WrongVersion},
    {"SessionEndsDuringTheInstallation", Server::Nginx, "-", 0, true,
     SessionEndsDuringTheInstallation, 1, {Accepted, Downloaded, InstallStarted, Cancelled},
     {"recv WM_QUERYENDSESSINO, wParam = 0x0, lParam = 0x80000000, status = 6",
      "recv WM_ENDSESSINO, wParam = 0x1, lParam = 0x80000000, status = 6"},
     true, Product::Hangs},
    {"InstallTimesOut", Server::Nginx, "-", 0, true, InstallerWaitEnds<TimedOut>, 5,
     {Accepted, Downloaded, InstallStarted, InstallTimedOut}, {}, true, Product::Hangs,
     "安装超时，请下次重试。"},
    {"InstallWaitFails", Server::Nginx, "-", 0, true, InstallerWaitEnds<WaitFailed>, 4,
     {Accepted, Downloaded, InstallStarted, InstallFailed}, {}, true, Product::Hangs,
     "内部错误，请下次重试。"},
    {"UnknownInstallOutcome", Server::Nginx, "-", 0, true, InstallerWaitEnds<99>, 4,
     {Accepted, Downloaded, InstallStarted, InstallFailed}, {}, true, Product::Hangs,
     "未知错误，请下次重试。"},
    {"DownloadFails", Server::Fault, "rate=100000", 2000000, true,
     DownloadEndsWith<DownloadFailedResult>, 2, {Accepted, DownloadError}, {}, false,
     Product::None, "下载安装包失败，请检查网络连接。"},
    {"RenameFails", Server::Fault, "rate=100000", 2000000, true,
     DownloadEndsWith<DownloadRenameFailed>, 2, {Accepted, DownloadError}, {}, false,
     Product::None, "重命名下载文件至安装文件失败，请下次重试。"},
    {"DiskFull", Server::Fault, "rate=100000", 2000000, true, DownloadEndsWith<DownloadDiskFull>,
     2, {Accepted, DownloadError}, {}, false, Product::None, "磁盘空间不足，请清理磁盘后重试。"},
    {"UnknownDownloadResult", Server::Fault, "rate=100000", 2000000, true, DownloadEndsWith<77>,
     2, {Accepted, DownloadError}, {}, false, Product::None, "未知错误，请下次重试。"},
    {"InstallerReadsItselfThenClosesByItself", Server::Nginx, "-", 0, true,
     [](PennantRun& run) { run.Command(UpgradeCommand); }, 0,
     {Accepted, Downloaded, InstallStarted, Installed}, {}, false, Product::ReadsItself},
    {"CloseMessageDuringTheDownload", Server::Fault, "rate=100000", 2000000, true,
     [](PennantRun& run) { run.Command(UpgradeCommand); run.Post(WM_CLOSE, 0, 0); }, 1,
     {Accepted, Cancelled}, {"recv WM_CLOSE, status = 2", "Shell_NotifyIcon destroy"}, false},
    {"CloseMessageAfterTheInstallKeepsItsOutcome", Server::Nginx, "-", 0, true,
     [](PennantRun& run) {
         run.Command(UpgradeCommand);
         ASSERT_TRUE(run.WaitPhase(Finished));
         run.Post(WM_CLOSE, 0, 0);
     },
     0, {Accepted, Downloaded, InstallStarted, Installed}, {"recv WM_CLOSE, status = 7"}, false,
     Product::Installs},
    {"SessionEndsDuringTheDownload", Server::Fault, "rate=300000", 2000000, true,
     SessionEndDuringTheDownload<TRUE>, 1, {Accepted, Cancelled}, {}, false},
    {"CancelledSessionEndLeavesTheDownload", Server::Fault, "rate=300000", 600000, true,
     SessionEndDuringTheDownload<FALSE>, 4, {Accepted, Downloaded, LaunchError}, {}, true,
     Product::None, LaunchFailedText},
};

// CTest lists each run by its name rather than by its bytes.
void PrintTo(const Scenario& s, std::ostream* out) { *out << s.name; }

class Workflow : public ::testing::TestWithParam<Scenario> {};

TEST_P(Workflow, EndsWithItsCodeReportsAndLog) {
    const Scenario& s = GetParam();
    ProductPlace place(s.name);
    RunTask task = TaskFor(s.name, place);
    task.Serve(s.server, s.options, InstallerBytes(s.product, s.size, place, task));
    if (!s.rightMd5) task.md5 = "0123456789abcdef0123456789abcdef";
    SetEnvironmentVariableA("PENNANT_TEST_LAUNCH", s.launch);  // inherited by the run
    PennantRun run(task);
    SetEnvironmentVariableA("PENNANT_TEST_LAUNCH", nullptr);
    ASSERT_NE(nullptr, run.WaitForOffer()) << "the offer never reached its place";

    s.drive(run);
    if (HasFatalFailure()) return;
    if (s.shown) {  // the outcome stays until Done
        EXPECT_EQ(s.shown, run.WaitStatusText(s.shown));
        run.Command(DoneCommand);
    }
    if (s.product == Product::Hangs) EndTheHangingInstaller(run);
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

// A run whose connection broke and that was then ended leaves the part
// file; the next run of the same task goes on from it and installs what the
// task promised.
TEST(WorkflowAcrossRuns, AnInterruptedDownloadEndsInAVerifiedInstallation) {
    ForgetPeerHistory();
    ProductPlace place("across");
    RunTask task = TaskFor("across", place);
    const std::string installer = InstallerBytes(Product::Installs, 0, place, task);
    task.Serve(Server::Fault, "cut=200000", installer);
    long long kept = 0;
    {
        PennantRun first(task);
        ASSERT_NE(nullptr, first.WaitForOffer());
        LoseTheNetworkThenExit(first);
        EXPECT_EQ(2, first.Exit());
        kept = FileSize(first.InstallerFile(".part"));
        first.KeepFilesForTheNextRun();
    }
    ASSERT_GT(kept, 0);
    // The same installer behind the same server, now whole.
    task.url = FaultUrl("-", task.fname);
    PennantRun second(task, PennantRun::UseEarlierFiles);
    ASSERT_NE(nullptr, second.WaitForOffer());
    InstallThenDone(second);
    EXPECT_EQ(0, second.Exit());
    EXPECT_EQ(second.Bodies({Accepted, DownloadError, Accepted, Downloaded, InstallStarted,
                             Installed}),
              second.ReportBodies());
    const auto gets = FaultGets();
    ASSERT_EQ(2u, gets.size());
    EXPECT_NE(std::string::npos,
              gets[1].find("\r\nRange: bytes=" + std::to_string(kept) + "-\r\n"));
    EXPECT_FALSE(FileExists(second.InstallerFile()));
}

// Python's http.server answers every range with the whole file. A run
// paused at its first chunk and then ended leaves a part file that this
// server's identity vouches for; the next run asks for the rest, gets the
// whole file, starts over and still installs.
TEST(WorkflowAcrossRuns, AServerThatIgnoresRangesStillEndsInAVerifiedInstallation) {
    ForgetPeerHistory();
    ProductPlace place("plain");
    RunTask task = TaskFor("plain", place);
    // Megabytes of padding before the plan, so the pause comes long before
    // the body's end.
    std::string program, plan;
    SplitPlan(InstallerBytes(Product::Installs, 0, place, task), program, plan);
    const std::string installer = WithPlan(program + std::string(8 << 20, 'p'), plan);
    task.Serve(Server::Plain, "-", installer);
    {
        PennantRun first(task);
        ASSERT_NE(nullptr, first.WaitForOffer());
        // Both in the queue at once: the worker sees its stop at the first chunk.
        PostMessageA(first.Window(), WM_COMMAND, MAKEWPARAM(UpgradeCommand, 0), 0);
        PostMessageA(first.Window(), WM_COMMAND, MAKEWPARAM(PauseCommand, 0), 0);
        ASSERT_TRUE(first.WaitPhase(Paused));
        first.Command(ExitCommand);
        EXPECT_EQ(1, first.Exit());
        const long long kept = FileSize(first.InstallerFile(".part"));
        ASSERT_GT(kept, 0);
        ASSERT_LT(kept, static_cast<long long>(installer.size()));
        first.KeepFilesForTheNextRun();
    }
    PennantRun second(task, PennantRun::UseEarlierFiles);
    ASSERT_NE(nullptr, second.WaitForOffer());
    InstallThenDone(second);
    EXPECT_EQ(0, second.Exit());
    EXPECT_EQ(second.Bodies({Accepted, Cancelled, Accepted, Downloaded, InstallStarted, Installed}),
              second.ReportBodies());
    EXPECT_NE(std::string::npos,
              second.Log().find("range request not honoured, remove part file and retry !"));
    EXPECT_FALSE(FileExists(second.InstallerFile()));
}

}  // namespace
