#include "workflow/Installer.h"

#include "LogCapture.h"
#include "TestInstaller.h"
#include "app/Codes.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using namespace pennant;
using namespace testing_support;

namespace {

// A message-only window of the test thread that records every
// WM_INSTALL_OVER, sent or posted.
class InstallWindow {
public:
    InstallWindow() {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = Procedure;
        windowClass.lpszClassName = "PennantInstallOverTest";
        RegisterClassA(&windowClass);
        hwnd = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                               nullptr, nullptr, nullptr);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~InstallWindow() {
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
    }

    // Pumps the thread's messages until a WM_INSTALL_OVER was seen.
    bool WaitOver(DWORD ms = 60000) {
        const DWORD start = GetTickCount();
        while (overs.empty() && GetTickCount() - start < ms) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
            if (overs.empty()) MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        }
        return !overs.empty();
    }

    HWND hwnd = nullptr;
    std::vector<std::pair<WPARAM, LPARAM>> overs;

private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<InstallWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (message == WM_INSTALL_OVER && self) {
            self->overs.emplace_back(wParam, lParam);
            return 0;
        }
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
};

// The installer file held the way the download job hands it over.
UniqueKernelHandle Hold(const std::string& path) {
    return UniqueKernelHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
}

// The installer's process id, as the wait thread logged it.
DWORD LoggedPid(const std::string& log) {
    const std::string mark = "pid of chlid process to wait is ";
    const size_t at = log.find(mark);
    return at == std::string::npos ? 0 : strtoul(log.c_str() + at + mark.size(), nullptr, 10);
}

}  // namespace

TEST(LaunchInstaller, RunsTheHeldFileAndReportsHowItsWaitEnded) {
    struct Case {
        const char* name;
        bool executable;  // false: random bytes named .exe
        InstallerPlan plan;
        uint32_t waitSeconds;
        int launchResult;
        InstallOutcome outcome;
        int level;
        const char* line;
    } cases[] = {
        {"exits", true, [] { InstallerPlan p; p.exitCode = 7; return p; }(), 60, 0, Exited,
         LogProgress, "ShellExecute OK"},
        {"outlives the wait", true, [] { InstallerPlan p; p.forever = true; return p; }(), 1, 0,
         TimedOut, LogProgress, "wait installer time out"},
        {"not a program", false, {}, 60, 0, LaunchFailed, LogError,
         "ShellExecute/CreateProcess Fail, errno = "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pennant_test::LogCapture log;
        TempDir dir("lau");
        const std::string installer = dir / "setup.exe";
        if (c.executable)
            ASSERT_TRUE(WriteTestInstaller(installer, c.plan));
        else
            WriteFile(installer, std::string(4096, '\x5a'));
        InstallWindow window;
        UniqueKernelHandle held = Hold(installer);
        ASSERT_TRUE(held.Valid());

        // Returns on its own: a file the shell cannot start must not leave
        // a message box waiting for somebody.
        const int result = LaunchInstaller(window.hwnd, installer, std::move(held), c.waitSeconds);
        EXPECT_EQ(c.launchResult, result);
        ASSERT_TRUE(window.WaitOver());
        EXPECT_EQ(static_cast<WPARAM>(c.outcome), window.overs[0].first);
        if (c.outcome == Exited) {
            EXPECT_EQ(7, window.overs[0].second);
        }
        EXPECT_TRUE(log.ContainsAt(c.level, c.line)) << log.Text();

        if (c.outcome == TimedOut) {
            // Left running by the wait; ended here.
            UniqueKernelHandle process(
                OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, LoggedPid(log.Text())));
            ASSERT_TRUE(process.Valid()) << log.Text();
            EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(process.Get(), 0));
            TerminateProcess(process.Get(), 1);
            WaitForSingleObject(process.Get(), 10000);
        }
        // The launch let go of the file it held.
        EXPECT_TRUE(DeleteFileA(installer.c_str())) << GetLastError();
    }
}

TEST(WaitInstallerThread, FailedWaitsAndGoneWindows) {
    struct Case {
        const char* name;
        bool process;  // false: the shell returned no process handle
        enum { Live, Destroyed, None } window;
        bool posted;
    } cases[] = {
        {"no process handle", false, Case::Live, true},
        {"window destroyed", true, Case::Destroyed, false},
        {"no window", true, Case::None, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pennant_test::LogCapture log;
        TempDir dir("wai");
        InstallWindow window;
        if (c.window == Case::Destroyed) DestroyWindow(window.hwnd);
        auto* record = new InstallerWaitRecord;
        record->window = c.window == Case::None ? nullptr : window.hwnd;
        record->seconds = 60;
        if (c.process) {
            ASSERT_TRUE(WriteTestInstaller(dir / "setup.exe", InstallerPlan()));
            std::string commandLine = "\"" + (dir / "setup.exe") + "\"";
            STARTUPINFOA startup = {};
            startup.cb = sizeof startup;
            PROCESS_INFORMATION info = {};
            ASSERT_TRUE(CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0,
                                       nullptr, nullptr, &startup, &info));
            CloseHandle(info.hThread);
            record->process = info.hProcess;
        }
        // On this thread: a post to no window at all would land in its queue.
        EXPECT_EQ(0u, WaitInstallerThread(record));
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (!msg.hwnd && msg.message == WM_INSTALL_OVER)
                window.overs.emplace_back(msg.wParam, msg.lParam);
            DispatchMessageA(&msg);
        }
        EXPECT_EQ(c.posted ? 1u : 0u, window.overs.size());
        if (!c.process) {
            ASSERT_FALSE(window.overs.empty());
            EXPECT_EQ(static_cast<WPARAM>(WaitFailed), window.overs[0].first);
            EXPECT_EQ(ERROR_INVALID_HANDLE, window.overs[0].second);
            EXPECT_TRUE(log.ContainsAt(LogError, "WaitForSingleObject Fail, errno = 6"));
        } else {
            EXPECT_TRUE(log.ContainsAt(LogDetail, "pid of chlid process to wait is "));
        }
    }
}
