// The real pop-up of pennant.exe on the virtual display: started with a task,
// driven with the real pointer (xdotool) where a person would act and with
// the test build's phase hook where only the workflow could, and checked by
// the pixels of X screenshots. Each phase leaves a picture in
// <build root>/screenshots. Positions are given at 96 DPI and checked at the
// display's scale (at_dpi.sh runs some tests at 144 and 192 DPI).
#include "app/Codes.h"
#include "app/Directories.h"
#include "ui/TestHooks.h"

#include "TestFiles.h"
#include "PennantProcess.h"
#include "UiDisplay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <memory>
#include <thread>
#include <vector>

namespace pennant {
namespace {

using testing_support::Click;
using testing_support::MouseMove;
using testing_support::PennantProcess;
using testing_support::Rgb;
using testing_support::RunUnix;
using testing_support::Screenshot;

constexpr int ProgressBarId = 119;
constexpr int PercentLabelId = 120;

const Rgb BandGrey{236, 240, 241};
const Rgb White{255, 255, 255};
const Rgb FooterGrey{243, 245, 246};
const Rgb Blue{1, 145, 227};
const Rgb BlueHover{0, 129, 203};
const Rgb Grey{204, 204, 204};
const Rgb Track{221, 221, 221};
const Rgb Fill{113, 219, 255};
const Rgb Orange{255, 128, 0};
const Rgb MenuGrey{153, 153, 153};
const Rgb MenuDark{51, 51, 51};
const Rgb MenuBlue{25, 147, 226};
const Rgb LogoOrange{243, 156, 18};

std::string Utf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

// A valid task whose installer lies behind a closed loopback port, so the
// start-up query fails at once and the offer shows.
std::string TaskArgument() {
    using testing_support::EncodeBase64;
    const std::string showname = EncodeBase64(Utf8(L"Aldermoor 云盘"));
    const std::string description = EncodeBase64(Utf8(
        L"1. 全新的同步引擎，大文件上传速度提升一倍\n2. 修复了偶尔无法登录的问题\n"
        L"3. 优化了高分辨率屏幕上的显示"));
    const std::string json =
        "{\"pid\":\"4242\",\"taskid\":\"ui-task\",\"devid\":\"ui-device\","
        "\"url\":\"http://127.0.0.1:9/cloud_setup.exe\",\"md5\":\"00\",\"version\":\"2.3.1\","
        "\"oldversion\":\"2.0.5\",\"fname\":\"cloud_setup.exe\",\"showname\":\"" + showname +
        "\",\"description\":\"" + description +
        "\",\"path\":\"HKEY_LOCAL_MACHINE/SOFTWARE/Aldermoor/Cloud\",\"exe\":\"cloud.exe\","
        "\"logo\":\"\",\"bits\":\"64\"}";
    return EncodeBase64(json);
}

// <build root>/screenshots: the tests run in <build root>/test-<arch>.
std::string GalleryDirectory() {
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(sizeof cwd, cwd);
    std::string unix = testing_support::UnixPath(cwd);
    while (!unix.empty() && unix.back() == '/') unix.pop_back();
    return unix.substr(0, unix.find_last_of('/')) + "/screenshots";
}

RECT WorkArea() {
    RECT work = {};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    return work;
}

// Tops of `window` seen while `action` runs, sampled until the window is gone.
std::vector<LONG> TopsWhile(HWND window, const std::function<void()>& action) {
    std::vector<LONG> tops;
    std::atomic<bool> done{false};
    std::thread sampler([&] {
        for (int i = 0; i < 5000 && !done; ++i) {
            RECT r;
            if (!GetWindowRect(window, &r)) break;
            if (tops.empty() || tops.back() != r.top) tops.push_back(r.top);
            Sleep(1);
        }
    });
    action();
    for (int i = 0; i < 100 && IsWindow(window); ++i) Sleep(50);
    done = true;
    sampler.join();
    return tops;
}

class PopupTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Pixels of the display, as the pop-up, the screenshots and the pointer have them.
        SetProcessDPIAware();
        HDC screen = GetDC(nullptr);
        dpi_ = GetDeviceCaps(screen, LOGPIXELSX);
        ReleaseDC(nullptr, screen);
        const char* asked = std::getenv("PENNANT_TEST_DPI");
        ASSERT_EQ(asked ? std::atoi(asked) : dpi_, dpi_) << "the prefix's scale did not take";
        ASSERT_EQ(nullptr, FindWindowA("DOVAZIDERO", nullptr)) << "a pennant is still running";
        log_ = std::make_unique<testing_support::LogTail>(GetAppDataDirectory());
        process_ = std::make_unique<PennantProcess>(TaskArgument());
        ASSERT_TRUE(process_->Started());
        window_ = WaitForOffer();
        ASSERT_NE(nullptr, window_) << "the offer never reached its place";
    }

    void TearDown() override {
        // End the program the way a user would, so its tray icon goes too;
        // the process owner terminates it if that does not work.
        if (window_ && IsWindow(window_)) {
            SetPhase(Offer, 0, "", -1, 0);
            PostMessageA(window_, WM_COMMAND, MAKEWPARAM(ExitCommand, 0), 0);
            process_->Wait(10000);
        }
        process_.reset();
        MouseMove(640, 10);
    }

    HWND WaitForOffer() { return process_->WaitForOffer(20000); }

    // A 96-DPI length at the display's scale.
    int Px(int at96) const { return MulDiv(at96, dpi_, 96); }

    RECT WindowRect() const {
        RECT r = {};
        GetWindowRect(window_, &r);
        return r;
    }

    // 96-DPI client coordinates of the pop-up (it has no frame) to screen.
    POINT Screen(int x, int y) const {
        RECT r = WindowRect();
        return POINT{r.left + Px(x), r.top + Px(y)};
    }

    Rgb At(const Screenshot& shot, int x, int y) const {
        POINT p = Screen(x, y);
        return shot.Pixel(p.x, p.y);
    }

    // Screen rectangle of a 96-DPI client-coordinate box.
    RECT Box(int x, int y, int width, int height) const {
        POINT p = Screen(x, y);
        return RECT{p.x, p.y, p.x + Px(width), p.y + Px(height)};
    }

    // Client rectangle of a child control.
    RECT ControlRect(int id) const {
        RECT r = {};
        GetWindowRect(GetDlgItem(window_, id), &r);
        RECT w = WindowRect();
        OffsetRect(&r, -w.left, -w.top);
        return r;
    }

    bool Visible(int id) const { return IsWindowVisible(GetDlgItem(window_, id)) != FALSE; }

    std::string Text(int id) const {
        char text[64] = {};
        GetWindowTextA(GetDlgItem(window_, id), text, sizeof text);
        return text;
    }

    // What only the workflow could do: put the window into a phase.
    void SetPhase(int32_t newPhase, int32_t newStatus, const char* statusText, int32_t show,
                  int32_t collapse, const std::string& logoFile = std::string(),
                  int64_t size = 0) {
        TestPhaseRecord record = {};
        record.phase = newPhase;
        record.status = newStatus;
        record.show = show;
        record.collapse = collapse;
        lstrcpynA(record.statusText, statusText, sizeof record.statusText);
        lstrcpynA(record.logoFile, logoFile.c_str(), sizeof record.logoFile);
        record.size = size;
        COPYDATASTRUCT data = {TestPhaseData, sizeof record, &record};
        ASSERT_EQ(TRUE, SendMessageA(window_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)));
        UpdateWindow(window_);
    }

    void Progress(int percent) {
        SendMessageA(window_, WM_DOWNLOAD_PROGRESS, static_cast<WPARAM>(percent), 0);
    }

    WPARAM LastCommand() const {
        return static_cast<WPARAM>(SendMessageA(window_, WM_TEST_LAST_COMMAND, 0, 0));
    }

    // Clicks the control's centre with the real pointer.
    void ClickControl(int id) {
        testing_support::ClickChild(window_, id);
        // Until the click's command has reached the window (or ended it).
        const WPARAM command = MAKEWPARAM(id, 0);
        for (int i = 0; i < 60 && IsWindow(window_) && LastCommand() != command; ++i) Sleep(50);
    }

    // Where Wine's stand-alone tray window shows our (only) icon.
    POINT TrayIcon() const {
        HWND tray = FindWindowA(nullptr, "Wine System Tray");
        POINT origin = {0, 0};
        if (tray) ClientToScreen(tray, &origin);
        return POINT{origin.x + 10, origin.y + 10};
    }

    // Saves the pop-up (and `extra`, screen coordinates) with a margin.
    void SaveGallery(const Screenshot& shot, const std::string& name) {
        RECT r = WindowRect();
        InflateRect(&r, 12, 12);
        RECT screen = {0, 0, shot.Width(), shot.Height()};
        IntersectRect(&r, &r, &screen);
        const std::string scale = dpi_ == 96 ? "" : "-" + std::to_string(dpi_) + "dpi";
        EXPECT_TRUE(shot.SaveCrop(r, GalleryDirectory() + "/" + name + scale + ".png")) << name;
    }

    // The screen once it has stopped changing: two pictures in a row alike
    // (the X server shows a change a little after the window made it).
    Screenshot Shoot() {
        Screenshot last;
        EXPECT_TRUE(last.Take());
        for (int i = 0; i < 20; ++i) {
            Screenshot next;
            EXPECT_TRUE(next.Take());
            if (next.SameAs(last)) return next;
            last = std::move(next);
        }
        return last;
    }

    // Screenshots until `ready` holds for one (the X server shows a change a
    // little after the window made it), at most about three seconds.
    Screenshot ShootUntil(const std::function<bool(const Screenshot&)>& ready) {
        Screenshot shot;
        for (int i = 0; i < 8; ++i) {
            shot = Shoot();
            if (ready(shot)) break;
            Sleep(100);
        }
        return shot;
    }

    bool WaitVisible(bool visible) const {
        for (int i = 0; i < 60 && (IsWindowVisible(window_) != FALSE) != visible; ++i) Sleep(50);
        return (IsWindowVisible(window_) != FALSE) == visible;
    }

    // A 64 x 64 orange disc on white, as the task's logo file.
    std::string MakeLogo() {
        const std::string path = dir_ / "logo_test.png";
        EXPECT_EQ(0, RunUnix("convert -size 64x64 xc:white -fill '#f39c12' -draw "
                             "'circle 32,32 32,4' '" +
                             testing_support::UnixPath(path) + "'"));
        return path;
    }

    // What pennant logged since the test started.
    std::string NewLog() const { return log_->Appended(); }

    int dpi_ = 96;
    testing_support::TempDir dir_{"ui"};
    std::unique_ptr<testing_support::LogTail> log_;
    std::unique_ptr<PennantProcess> process_;
    HWND window_ = nullptr;
};

TEST_F(PopupTest, OfferRisesIntoTheWorkAreaCorner) {
    const RECT work = WorkArea();
    const RECT r = WindowRect();
    EXPECT_EQ(work.bottom, r.bottom);
    EXPECT_EQ(work.right - Px(20), r.right);
    EXPECT_EQ(work.right - Px(380), r.left);
    EXPECT_EQ(Px(450), r.bottom - r.top);
    const struct { int id, x, y, width, height; } places[] = {
        {DescriptionEditId, 11, 132, 338, 258}, {UpgradeCommand, 56, 413, 106, 26},
        {RefuseCommand, 179, 413, 106, 26}, {MinimizeCommand, 303, 1, 28, 24},
        {CloseCommand, 331, 1, 28, 24}};
    for (const auto& p : places) {
        const RECT expected = {Px(p.x), Px(p.y), Px(p.x) + Px(p.width), Px(p.y) + Px(p.height)};
        const RECT placed = ControlRect(p.id);
        EXPECT_TRUE(EqualRect(&expected, &placed)) << p.id << " at " << placed.left << ","
                                                   << placed.top << " " << placed.right << ","
                                                   << placed.bottom;
    }

    EXPECT_TRUE(Visible(DescriptionEditId));
    EXPECT_TRUE(Visible(UpgradeCommand));
    EXPECT_TRUE(Visible(RefuseCommand));
    for (int id : std::initializer_list<int>{PauseCommand, ResumeCommand, RetryCommand,
                                             DoneCommand, ProgressBarId, PercentLabelId})
        EXPECT_FALSE(Visible(id)) << id;

    // Without a logo its place shows the gradient (RGB(99,182,47) blending
    // towards RGB(0,158,150) at x 27 of 359).
    Screenshot plain = Shoot();
    EXPECT_TRUE(At(plain, 27, 53).Near(Rgb{84, 178, 62}, 4)) << At(plain, 27, 53);

    const std::string logo = MakeLogo();
    SetPhase(Offer, 0, "", -1, 0, logo, 36909875);
    Screenshot shot = Shoot();
    EXPECT_EQ(Rgb({24, 131, 215}), At(shot, 0, 200)) << "frame";
    EXPECT_EQ(BandGrey, At(shot, 5, 100)) << "size and version band";
    EXPECT_EQ(FooterGrey, At(shot, 5, 430)) << "footer";
    EXPECT_EQ(White, At(shot, 180, 300)) << "description box";
    EXPECT_EQ(Blue, At(shot, 60, 417)) << "upgrade button";
    EXPECT_EQ(Grey, At(shot, 183, 417)) << "refuse button";
    EXPECT_TRUE(At(shot, 27, 53).Near(LogoOrange, 10)) << "logo " << At(shot, 27, 53);
    // The title is white text on the gradient; the size line black on grey.
    EXPECT_GT(shot.Count(Box(53, 26, 197, 53), White, 0), 40);
    EXPECT_GT(shot.Count(Box(10, 79, 90, 42), Rgb{0, 0, 0}, 100), 10);
    SaveGallery(shot, "1-offer");
}

TEST_F(PopupTest, ButtonsShowTheirHoverImageAndSendTheirCommand) {
    POINT p = Screen(56 + 53, 413 + 20);
    MouseMove(p.x, p.y);
    MouseMove(p.x + 1, p.y);  // a move inside the button starts the tracking
    Screenshot hovered =
        ShootUntil([&](const Screenshot& s) { return At(s, 60, 417) == BlueHover; });
    EXPECT_EQ(BlueHover, At(hovered, 60, 417));
    EXPECT_EQ(Grey, At(hovered, 183, 417)) << "only the button under the pointer changes";
    EXPECT_EQ(1, SendMessageA(window_, WM_TEST_HAND_CURSOR, 0, 0)) << "hand cursor";

    MouseMove(p.x, p.y - 60);
    Screenshot left = ShootUntil([&](const Screenshot& s) { return At(s, 60, 417) == Blue; });
    EXPECT_EQ(Blue, At(left, 60, 417));
    EXPECT_EQ(0, SendMessageA(window_, WM_TEST_HAND_CURSOR, 0, 0)) << "arrow again";

    // (A click on Refuse ends the program: the controller's runs click it.)
    ClickControl(UpgradeCommand);
    EXPECT_EQ(MAKEWPARAM(UpgradeCommand, 0), LastCommand());
    // It starts the download: the phase leaves the offer and the window shrinks.
    for (int i = 0; i < 60 && WindowRect().bottom - WindowRect().top != Px(170); ++i) Sleep(50);
    EXPECT_EQ(Px(170), WindowRect().bottom - WindowRect().top);
    EXPECT_NE(Offer, SendMessageA(window_, WM_TEST_STATE, 0, 0) & 0xff);

    // The title-strip glyphs: the close cross turns red under the pointer.
    POINT c = Screen(331 + 3, 1 + 3);
    MouseMove(c.x, c.y);
    MouseMove(c.x + 1, c.y);
    const Rgb red{232, 17, 35};
    Screenshot closeHover =
        ShootUntil([&](const Screenshot& s) { return At(s, 331 + 2, 1 + 2) == red; });
    EXPECT_EQ(red, At(closeHover, 331 + 2, 1 + 2));
    SaveGallery(closeHover, "0-close-hover");
}

TEST_F(PopupTest, StatusMarkSitsBeforeTheTextAtBothHeights) {
    // Before the window shrinks the status line lies at the bottom.
    SetPhase(NetworkLost, DownloadError, "当前网络不可用,请检查网络", -1, 0);
    Screenshot full = Shoot();
    EXPECT_EQ(Orange, At(full, 23, 380)) << "mark at (20, 372)";
    EXPECT_EQ(0, full.Count(Box(20, 362, 16, 10), Orange, 10)) << "nothing above the mark";

    SetPhase(NetworkLost, DownloadError, "当前网络不可用,请检查网络", -1, 1);
    const RECT work = WorkArea();
    const RECT r = WindowRect();
    EXPECT_EQ(170, r.bottom - r.top);
    EXPECT_EQ(work.bottom, r.bottom) << "the bottom edge stays";
    EXPECT_TRUE(Visible(RetryCommand));
    for (int id : std::initializer_list<int>{UpgradeCommand, RefuseCommand, PauseCommand,
                                             ResumeCommand, DoneCommand, ProgressBarId,
                                             PercentLabelId, DescriptionEditId})
        EXPECT_FALSE(Visible(id)) << id;
    EXPECT_EQ(133, ControlRect(RetryCommand).top);
    Screenshot shot = Shoot();
    EXPECT_EQ(Orange, At(shot, 23, 100)) << "mark at (20, 92)";
    RECT text = {r.left + 39, r.top + 86, r.left + 320, r.top + 114};
    EXPECT_GT(shot.Count(text, Orange, 60), 20) << "orange status text";
    EXPECT_EQ(White, At(shot, 5, 100)) << "shrunk background";
    EXPECT_EQ(FooterGrey, At(shot, 5, 150));
    EXPECT_EQ(Blue, At(shot, 183, 137)) << "retry is a blue button";
    SaveGallery(shot, "4-network-lost");
}

TEST_F(PopupTest, ProgressFillsTheTrackAndShowsThePercentage) {
    SetPhase(Downloading, Accepted, "", -1, 1);
    EXPECT_EQ(Px(25), ControlRect(ProgressBarId).left);
    EXPECT_EQ(Px(98), ControlRect(ProgressBarId).top);
    EXPECT_EQ(Px(310), ControlRect(PercentLabelId).left);
    EXPECT_EQ(Px(94), ControlRect(PercentLabelId).top);
    EXPECT_EQ(Px(133), ControlRect(PauseCommand).top);
    EXPECT_EQ(Px(133), ControlRect(UpgradeCommand).top) << "hidden buttons move too";
    EXPECT_EQ(Px(132), ControlRect(DescriptionEditId).top) << "the description box stays";
    EXPECT_TRUE(Visible(PauseCommand));
    EXPECT_TRUE(Visible(ProgressBarId));
    EXPECT_TRUE(Visible(PercentLabelId));

    Progress(0);
    Screenshot zero = ShootUntil([&](const Screenshot& s) { return At(s, 26, 101) == Track; });
    EXPECT_EQ(Track, At(zero, 26, 101));
    EXPECT_EQ(Track, At(zero, 284, 101));
    EXPECT_EQ("0%", Text(PercentLabelId));

    Progress(42);  // 260 * 42 / 100 = 109.2: 109 pixels
    Screenshot part = ShootUntil([&](const Screenshot& s) { return At(s, 27, 102) == Fill; });
    EXPECT_EQ(Fill, At(part, 27, 102));
    EXPECT_EQ(Fill, At(part, 25 + 107, 102));
    EXPECT_EQ(Track, At(part, 25 + 110, 102));
    EXPECT_EQ("42%", Text(PercentLabelId));
    EXPECT_GT(part.Count(Box(310, 94, 30, 15), Rgb{102, 102, 102}, 110), 5) << "percentage text";
    SaveGallery(part, "2-downloading");

    Progress(100);
    Screenshot full =
        ShootUntil([&](const Screenshot& s) { return At(s, 25 + 258, 102) == Fill; });
    EXPECT_EQ(Fill, At(full, 25 + 130, 102));
    EXPECT_EQ(Fill, At(full, 25 + 258, 102));
    EXPECT_EQ("100%", Text(PercentLabelId));

    Progress(63);
    SetPhase(Paused, Accepted, "", -1, 1);
    EXPECT_TRUE(Visible(ResumeCommand));
    EXPECT_FALSE(Visible(PauseCommand));
    Screenshot paused = Shoot();
    EXPECT_EQ(Grey, At(paused, 183, 137)) << "resume is a grey button";
    EXPECT_EQ("63%", Text(PercentLabelId)) << "the label keeps its text";
    SaveGallery(paused, "3-paused");
}

TEST_F(PopupTest, OutcomesShowTheirStatusLineAndDoneLabel) {
    SetPhase(DownloadFailed, DownloadError, "安装文件损坏，请重新下载。", -1, 1);
    EXPECT_TRUE(Visible(DoneCommand));
    EXPECT_EQ("结束", Text(DoneCommand));
    Screenshot failed = Shoot();
    EXPECT_EQ(Orange, At(failed, 23, 100));
    SaveGallery(failed, "5-download-failed");

    SetPhase(Finished, InstallFailed, "未能成功安装，请下次重试。", -1, 1);
    EXPECT_EQ("结束", Text(DoneCommand));
    SaveGallery(Shoot(), "8-finished-failure");
}

TEST_F(PopupTest, SuccessKeepsTheDoneLabelAndDrawsNoMark) {
    SetPhase(Finished, Installed, "恭喜您软件已成功升级至 2.3.1。", -1, 1);
    EXPECT_TRUE(Visible(DoneCommand));
    EXPECT_EQ("完成", Text(DoneCommand));
    Screenshot shot = Shoot();
    EXPECT_EQ(0, shot.Count(Box(20, 92, 16, 16), Orange, 10)) << "no mark";
    const RECT text = Box(20, 86, 300, 28);
    EXPECT_EQ(0, shot.Count(text, Orange, 60));
    EXPECT_TRUE(shot.Darkest(text).Near(Rgb{102, 102, 102}, 25)) << shot.Darkest(text);
    SaveGallery(shot, "7-finished-success");

    // Closing after the end is immediate: the shrunk window sinks 20 times by
    // a tenth of its height (17 pixels at 96 DPI), and the program ends.
    const LONG top = WindowRect().top;
    std::vector<LONG> tops = TopsWhile(window_, [&] { ClickControl(CloseCommand); });
    EXPECT_EQ(0, process_->Wait(10000));
    EXPECT_EQ(nullptr, FindWindowA("DOVAZIDERO", nullptr));
    ASSERT_GE(tops.size(), 3u);
    EXPECT_EQ(top, tops.front());
    const int step = Px(170) / 10;
    EXPECT_EQ(top + 20 * step, tops.back());
    for (LONG t : tops) EXPECT_EQ(0, (t - top) % step) << t - top;
}

TEST_F(PopupTest, HiddenToTheTrayAndBackDuringTheInstallation) {
    SetPhase(Installing, InstallStarted, "下载已完成，正在安装软件...", 0, 1);
    EXPECT_FALSE(IsWindowVisible(window_));

    POINT icon = TrayIcon();
    Click(icon.x, icon.y);
    EXPECT_TRUE(WaitVisible(true));
    for (int id : std::initializer_list<int>{UpgradeCommand, RefuseCommand, PauseCommand,
                                             ResumeCommand, RetryCommand, DoneCommand,
                                             ProgressBarId, PercentLabelId, DescriptionEditId})
        EXPECT_FALSE(Visible(id)) << id;
    EXPECT_TRUE(Visible(CloseCommand));
    EXPECT_TRUE(Visible(MinimizeCommand));
    Screenshot shot = Shoot();
    EXPECT_EQ(0, shot.Count(Box(20, 92, 16, 16), Orange, 10)) << "no mark while installing";
    const RECT r = WindowRect();
    RECT text = {r.left + 20, r.top + 86, r.left + 320, r.top + 114};
    EXPECT_TRUE(shot.Darkest(text).Near(Rgb{153, 153, 153}, 25)) << shot.Darkest(text);
    SaveGallery(shot, "6-installing");
}

TEST_F(PopupTest, TitleButtonsHideToTheTrayAndTheIconBringsItBack) {
    ClickControl(MinimizeCommand);
    EXPECT_TRUE(WaitVisible(false));
    const RECT before = WindowRect();
    Sleep(1000);  // Wine's tray takes no click while it sets up the balloon

    POINT icon = TrayIcon();
    Click(icon.x, icon.y);
    EXPECT_TRUE(WaitVisible(true));
    const RECT after = WindowRect();
    EXPECT_TRUE(EqualRect(&before, &after)) << "the window comes back where it was";

    // Closing during the offer only hides the window; the program goes on.
    ClickControl(CloseCommand);
    EXPECT_TRUE(WaitVisible(false));
    EXPECT_EQ(-1, process_->Wait(1000));
    Click(icon.x, icon.y);
    EXPECT_TRUE(WaitVisible(true));

    // The log is complete once the program has ended.
    PostMessageA(window_, WM_COMMAND, MAKEWPARAM(ExitCommand, 0), 0);
    EXPECT_EQ(1, process_->Wait(10000));
    const std::string log = NewLog();
    EXPECT_NE(std::string::npos, log.find("Shell_NotifyIcon create ret 1, errno = "));
    const size_t balloon = log.find("Shell_NotifyIcon show (1) ret 1, errno = ");
    EXPECT_NE(std::string::npos, balloon);
    EXPECT_NE(std::string::npos, log.find("Shell_NotifyIcon show (0) ret 1, errno = ", balloon));
    EXPECT_NE(std::string::npos, log.find("Shell_NotifyIcon destroy return 1, errno = "));
}

TEST_F(PopupTest, ThePanelDragsLikeACaption) {
    const RECT before = WindowRect();
    const POINT from = Screen(150, 12);  // the title strip, outside every control
    const std::string x = std::to_string(from.x), y = std::to_string(from.y);
    EXPECT_EQ(0, RunUnix("xdotool mousemove " + x + " " + y + " mousedown 1\nsleep 0.3\n"
                         "xdotool mousemove_relative -- -50 -60\nsleep 0.2\n"
                         "xdotool mousemove_relative -- -50 -60\nsleep 0.3\n"
                         "xdotool mouseup 1"));
    RECT after = WindowRect();
    for (int i = 0; i < 60 && after.top != before.top - 120; ++i) {
        Sleep(50);
        after = WindowRect();
    }
    EXPECT_EQ(before.left - 100, after.left);
    EXPECT_EQ(before.top - 120, after.top);
    EXPECT_EQ(450, after.bottom - after.top);
}

TEST_F(PopupTest, AMonitorOfAnotherScaleLaysItOutAgainInItsCorner) {
    // What Windows sends when the pop-up lands on a 150 % monitor; Wine's
    // monitors share one scale, so the test sends it.
    const RECT work = WorkArea();
    RECT suggested = WindowRect();
    dpi_ = dpi_ * 3 / 2;  // Px() now answers for the pop-up's new scale
    SendMessageA(window_, WM_DPICHANGED, MAKEWPARAM(dpi_, dpi_),
                 reinterpret_cast<LPARAM>(&suggested));
    const RECT r = WindowRect();
    EXPECT_EQ(work.bottom, r.bottom);
    EXPECT_EQ(work.right - Px(20), r.right);
    EXPECT_EQ(Px(450), r.bottom - r.top);
    const RECT upgrade = ControlRect(UpgradeCommand);
    EXPECT_EQ(Px(413), upgrade.top);
    EXPECT_EQ(Px(106), upgrade.right - upgrade.left);
    EXPECT_EQ(Blue, At(Shoot(), 56 + 100, 413 + 22)) << "the button's art fills its new size";

    ClickControl(UpgradeCommand);
    for (int i = 0; i < 60 && WindowRect().bottom - WindowRect().top != Px(170); ++i) Sleep(50);
    EXPECT_EQ(work.bottom, WindowRect().bottom);
    EXPECT_EQ(Px(133), ControlRect(RetryCommand).top);
}

class TrayMenuTest : public PopupTest {
protected:
    // Opens the menu with a real right click; returns its screen rectangle.
    RECT OpenMenu() {
        WaitMenuClosed();
        POINT icon = TrayIcon();
        RECT r = {};
        // Wine's tray drops a click while it updates the balloon, so the
        // click is repeated until the menu shows (three tries).
        for (int i = 0; i < 90 && IsRectEmpty(&r); ++i) {
            if (i % 30 == 0) Click(icon.x, icon.y, 3);
            HWND menu = FindWindowA("#32768", nullptr);
            if (menu && IsWindowVisible(menu)) GetWindowRect(menu, &r);
            else Sleep(50);
        }
        return r;
    }

    // Screen band of item `index` (0..2): the items are 30 pixels high.
    static RECT ItemLabel(const RECT& menu, int index) {
        const int top = menu.top + (menu.bottom - menu.top - 90) / 2 + 30 * index;
        return RECT{menu.left + 15, top + 4, menu.left + 90, top + 26};
    }

    // Closes the menu by choosing its harmless first item (show the window).
    void CloseMenu(const RECT& menu) {
        const RECT show = ItemLabel(menu, 0);
        Click(show.left + 20, (show.top + show.bottom) / 2);
        WaitMenuClosed();
    }

    static void WaitMenuClosed() {
        for (int i = 0; i < 60; ++i) {
            HWND open = FindWindowA("#32768", nullptr);
            if (!open || !IsWindowVisible(open)) return;
            Sleep(50);
        }
    }

    // True when the item's label is drawn in `colour`.
    static bool LabelIn(const Screenshot& shot, const RECT& menu, int index, const Rgb& colour) {
        return shot.Darkest(ItemLabel(menu, index)).Near(colour, 25);
    }
};

TEST_F(TrayMenuTest, ItemsAreGreyedByPhase) {
    RECT menu = OpenMenu();
    ASSERT_FALSE(IsRectEmpty(&menu)) << "the tray menu did not open";
    Screenshot offer = Shoot();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(LabelIn(offer, menu, i, MenuDark)) << i;
        EXPECT_FALSE(LabelIn(offer, menu, i, MenuGrey)) << i;
    }
    EXPECT_EQ(Rgb({221, 247, 255}), offer.Pixel(menu.left + 6, (menu.top + menu.bottom) / 2))
        << "the menu background's strip";
    // The item under the pointer is blue and underlined.
    const RECT first = ItemLabel(menu, 0);
    MouseMove(first.left + 20, (first.top + first.bottom) / 2);
    Screenshot selected = ShootUntil(
        [&](const Screenshot& s) { return s.Count(ItemLabel(menu, 0), MenuBlue, 30) > 10; });
    EXPECT_GT(selected.Count(ItemLabel(menu, 0), MenuBlue, 30), 10) << "blue label";
    EXPECT_EQ(0, selected.Count(ItemLabel(menu, 1), MenuBlue, 30));
    RECT trayAndMenu = {0, 0, menu.right + 12, menu.bottom + 12};
    EXPECT_TRUE(selected.SaveCrop(trayAndMenu, GalleryDirectory() + "/9-tray-menu.png"));
    CloseMenu(menu);

    SetPhase(Downloading, Accepted, "", -1, 1);
    menu = OpenMenu();
    ASSERT_FALSE(IsRectEmpty(&menu));
    Screenshot downloading = Shoot();
    EXPECT_TRUE(LabelIn(downloading, menu, 0, MenuDark));
    EXPECT_TRUE(LabelIn(downloading, menu, 1, MenuGrey));
    EXPECT_TRUE(LabelIn(downloading, menu, 2, MenuDark));
    CloseMenu(menu);

    SetPhase(Installing, InstallStarted, "", 0, 1);
    menu = OpenMenu();
    ASSERT_FALSE(IsRectEmpty(&menu));
    Screenshot installing = Shoot();
    EXPECT_TRUE(LabelIn(installing, menu, 0, MenuDark));
    EXPECT_TRUE(LabelIn(installing, menu, 1, MenuGrey));
    EXPECT_TRUE(LabelIn(installing, menu, 2, MenuGrey));
    // A greyed item sends nothing.
    const RECT exit = ItemLabel(menu, 2);
    Click(exit.left + 20, (exit.top + exit.bottom) / 2);
    EXPECT_EQ(-1, process_->Wait(600)) << "a greyed item ends nothing";
    CloseMenu(menu);
    EXPECT_TRUE(IsWindowVisible(window_));
}

TEST_F(TrayMenuTest, ShowAndExitItemsReachTheWindow) {
    ClickControl(MinimizeCommand);
    ASSERT_TRUE(WaitVisible(false));
    Sleep(1000);  // Wine's tray takes no click while it sets up the balloon
    RECT menu = OpenMenu();
    ASSERT_FALSE(IsRectEmpty(&menu));
    RECT show = ItemLabel(menu, 0);
    Click(show.left + 20, (show.top + show.bottom) / 2);
    EXPECT_TRUE(WaitVisible(true));
    EXPECT_EQ(MAKEWPARAM(ShowWindowCommand, 0), LastCommand());

    // Exit closes the window (the logo file goes with it) and ends with 1.
    const std::string logo = MakeLogo();
    SetPhase(Offer, 0, "", -1, 0, logo);
    menu = OpenMenu();
    ASSERT_FALSE(IsRectEmpty(&menu));
    RECT exit = ItemLabel(menu, 2);
    Click(exit.left + 20, (exit.top + exit.bottom) / 2);
    EXPECT_EQ(1, process_->Wait(10000));
    EXPECT_FALSE(testing_support::FileExists(logo));
    EXPECT_NE(std::string::npos, NewLog().find("remove logo file " + logo));
}

}  // namespace
}  // namespace pennant
