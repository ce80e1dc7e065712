#include "workflow/Controller.h"

#include "app/Codes.h"
#include "app/Log.h"
#include "app/Task.h"
#include "http/DownloadJob.h"
#include "http/Feedback.h"
#include "ui/Painting.h"
#include "ui/TestHooks.h"
#include "ui/Tray.h"
#include "ui/Window.h"
#include "workflow/DownloadNotifier.h"
#include "workflow/InstallCheck.h"
#include "workflow/Installer.h"

#include <algorithm>
#include <memory>
#include <string>

namespace pennant {
namespace {

// What the controller keeps for its window, from WM_NCCREATE until
// WM_NCDESTROY. Only the main thread touches it.
struct Controller {
    WindowState view;
    DownloadWorkerThread worker;
    // Calls that send or pump messages (the shell's tray calls, the tray
    // menu) can run a nested dispatch that destroys the window. The record
    // outlives WM_NCDESTROY until the outermost dispatch has unwound, and
    // a handler that goes on after such a call first asks `destroyed`.
    int dispatchDepth = 0;
    bool destroyed = false;
    bool taskReady = false;
    // From WM_INSTALL_STARTED: the elevated installer runs (the prompt is over).
    bool installerRunning = false;
    // Every report carries these, copied when the task is ready: the task
    // itself is released by the close sequence, before the last reports
    // have left. A task that never loaded reports empty ids.
    std::string deviceId;
    std::string taskId;
};

Controller* ControllerOf(HWND window) {
    return reinterpret_cast<Controller*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

// The loaded task, or null once the close sequence has released it.
const Task* CurrentTask() {
    const TaskHolder* holder = CurrentTaskHolder();
    return holder ? &holder->task : nullptr;
}

// Decides `status` and reports it in the same step.
void Report(Controller& c, int32_t status) {
    c.view.status = status;
    PostStatus(c.deviceId, c.taskId, status);
}

const char* DownloadFailureText(WPARAM result) {
    switch (result) {
    case DownloadFailedResult:
        return "下载安装包失败，请检查网络连接。";
    case DownloadMd5Mismatch:
        return "安装文件损坏，请重新下载。";
    case DownloadRenameFailed:
        return "重命名下载文件至安装文件失败，请下次重试。";
    case DownloadDiskFull:
        return "磁盘空间不足，请清理磁盘后重试。";
    default:
        return "未知错误，请下次重试。";
    }
}

// Sets the phase to Downloading and starts a worker for the task's
// installer; without a worker (logged) the phase stays Downloading.
void StartDownloadWorker(HWND window, Controller& c) {
    c.view.phase = Downloading;
    const Task* task = CurrentTask();
    if (!task) return;
    auto record = std::make_unique<DownloadWorkerRecord>();
    record->window = window;
    record->url = task->url;
    record->md5 = task->md5;
    record->sha256 = task->sha256;
    record->etag = task->etag;
    record->lastModified = task->lastModified;
    record->fileName = task->fname;
    record->totalSize = task->size;
    c.worker.Start(std::move(record));
}

// Up to three seconds for the worker to notice its stop; then it is let go.
void WaitWorker(Controller& c) { c.worker.Wait(WorkerStopWaitMs); }

// Windows ends the process about five seconds after the session's end was
// announced: every step of the end (worker, reports, log) shares this.
constexpr DWORD SessionEndBudgetMs = 4000;
ULONGLONG sessionEndDeadline = 0;  // GetTickCount64 time; 0 while the session lasts

DWORD MsUntil(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// The verified installation leaves nothing behind for a later task.
void DeleteInstallerFiles(const Task& task) {
    const InstallerFiles files = InstallerFilesOf(task.fname);
    if (!DeleteFileA(files.installer.c_str()))
        Log(LogError, "after install, delete install file failed, errno = %d",
            static_cast<int>(GetLastError()));
    if (!DeleteFileA(files.meta.c_str()))
        Log(LogError, "after install, delete meta file failed, errno = %d",
            static_cast<int>(GetLastError()));
}

// Status, exit code and status line for an installer outcome.
struct InstallVerdict {
    int32_t status;
    int32_t exitCode;
    std::string text;
};

InstallVerdict JudgeInstall(WPARAM outcome, LPARAM code) {
    switch (outcome) {
    case Exited: {
        const Task* task = CurrentTask();
        if (task && InstallCheck(task->path, task->exe, task->version, task->bits == 64)) {
            DeleteInstallerFiles(*task);
            // The promised version, not the one read back from the system.
            return {Installed, ExitSuccess, "恭喜您软件已成功升级至 " + task->version + "。"};
        }
        return {InstallFailed, ExitInstallFailed, "未能成功安装，请下次重试。"};
    }
    case WaitFailed:
        return {InstallFailed, ExitInstallFailed, "内部错误，请下次重试。"};
    case LaunchFailed:
        // A declined elevation prompt is the user's refusal, not a broken installer.
        if (code == ERROR_CANCELLED) return {Refused, ExitCancelled, "启动安装包失败，请下次重试。"};
        return {LaunchError, ExitInstallFailed, "启动安装包失败，请下次重试。"};
    case TimedOut:
        return {InstallTimedOut, ExitTimedOut, "安装超时，请下次重试。"};
    default:
        return {InstallFailed, ExitInstallFailed, "未知错误，请下次重试。"};
    }
}

LRESULT OnInstallOver(HWND window, Controller& c, WPARAM outcome, LPARAM code) {
    Log(LogProgress, "install over, phrase = %d, errno = %d", static_cast<int>(outcome),
        static_cast<int>(code));
    FlushLog();
    if (c.view.phase != Installing) return 0;  // no installer of ours is running
    // Judged and reported before the window is shown: showing it may run a
    // nested dispatch (the session's end), which must find the outcome.
    const InstallVerdict verdict = JudgeInstall(outcome, code);
    c.view.exitCode = verdict.exitCode;
    c.view.phase = Finished;
    Report(c, verdict.status);
    SetTimer(window, AutoCloseTimer, AutoCloseTimerPeriodMs, nullptr);
    ShowFromTray(window);
    if (c.destroyed) return 0;
    UpdateViews(window, c.view);
    SetStatusText(window, c.view, verdict.text.c_str());  // cut to the line's 511 bytes
    return 0;
}

// The installer is ready: report it and start it. The pop-up is brought
// back from the tray and stays in view as the owner of the elevation prompt
// until the installer runs: a hidden owner shows the prompt only as a
// flashing taskbar button.
void OnDownloadReady(HWND window, Controller& c) {
    c.view.phase = Installing;
    Report(c, Downloaded);
    ShowFromTray(window);
    if (c.destroyed) return;
    UpdateViews(window, c.view);
    SetStatusText(window, c.view, "下载已完成，正在安装软件...");
    const Task* task = CurrentTask();
    const std::string installer = task ? InstallerFilesOf(task->fname).installer : std::string();
    LaunchInstaller(window, installer, c.worker.TakeCheckedInstaller());
}

LRESULT OnInstallStarted(HWND window, Controller& c) {
    if (c.view.phase != Installing) return 0;
    c.installerRunning = true;
    Report(c, InstallStarted);
    ShowWindow(window, SW_HIDE);
    return 0;
}

LRESULT OnDownloadOver(HWND window, Controller& c, WPARAM result) {
    Log(LogProgress, "download over, errno = %d", static_cast<int>(result));
    FlushLog();
    // Only the held worker of a running download sends this.
    if (!c.worker.Held() || (c.view.phase != Downloading && c.view.phase != Paused)) return 0;
    if (result == DownloadReady) {
        OnDownloadReady(window, c);
        return 0;
    }
    ShowFromTray(window);
    if (c.destroyed) return 0;
    if (result == DownloadPaused) {
        WaitWorker(c);
        UpdateViews(window, c.view);
        return 0;
    }
    c.view.status = DownloadError;
    c.view.exitCode = ExitDownloadFailed;
    if (result == DownloadConnectionBroken) {
        // Reported only if the program is ended from here; Retry may still win.
        WaitWorker(c);
        c.view.phase = NetworkLost;
        UpdateViews(window, c.view);
        SetStatusText(window, c.view, "当前网络不可用,请检查网络");
        return 0;
    }
    c.view.phase = DownloadFailed;
    Report(c, DownloadError);
    UpdateViews(window, c.view);
    SetTimer(window, AutoCloseTimer, AutoCloseTimerPeriodMs, nullptr);
    SetStatusText(window, c.view, DownloadFailureText(result));
    return 0;
}

// How the program ends from where it stands: the report still to make (0
// for none) and the exit code. Once an outcome is shown every way out keeps
// it; a lost network's 3 and 2 are decided and reported only now.
struct Ending {
    int32_t report;
    int32_t exitCode;
};

Ending EndingOf(const WindowState& view) {
    switch (view.phase) {
    case DownloadFailed:
    case Finished:
        return {0, view.exitCode};
    case NetworkLost:
        return {view.status, view.exitCode};
    default:
        return {Cancelled, ExitCancelled};
    }
}

// Every way out (Exit, WM_CLOSE, the close and Done buttons, the timer, the
// session's end) ends here: the report leaves first, then a download is
// stopped within `workerWaitMs`.
void DecideEnd(Controller& c, DWORD workerWaitMs = WorkerStopWaitMs) {
    const Ending ending = EndingOf(c.view);
    c.view.phase = Closing;
    c.view.exitCode = ending.exitCode;
    if (ending.report) Report(c, ending.report);
    c.worker.RequestStop();
    c.worker.Wait(workerWaitMs);  // at once when no worker is held or it has ended
}

void EndAndClose(HWND window, Controller& c) {
    if (c.view.phase == Closing) return;
    DecideEnd(c);
    CloseSequence(window);
}

LRESULT OnTaskReady(HWND window, Controller& c) {
    // Sent once, by the task loader at start-up.
    if (c.taskReady || c.view.phase != Offer) {
        Log(LogWarning, "task ready but we are working, ignore!!");
        return 0;
    }
    c.taskReady = true;
    if (const Task* task = CurrentTask()) {
        ShowDescription(window, task->description);
        c.deviceId = task->devid;
        c.taskId = task->taskid;
    }
    c.view.phase = Offer;
    UpdateViews(window, c.view);
    SlideIn(window, c.view);
    return 0;
}

LRESULT OnTimer(HWND window, Controller& c, WPARAM id) {
    KillTimer(window, id);  // every timer fires once
    if (id == AutoCloseTimer) {
        EndAndClose(window, c);
        return 0;
    }
    if (id != OfferTimer) {
        Log(LogWarning, "timer %u is none of ours, ignore!!", static_cast<unsigned>(id));
        return 0;
    }
    if (c.view.phase != Offer) {
        Log(LogProgress, "timeout but we are working, ignore!!");
        return 0;
    }
    c.view.phase = Closing;
    c.view.exitCode = ExitTimedOut;
    Report(c, OfferTimedOut);
    CloseSequence(window);
    return 0;
}

LRESULT OnQueryEndSession(const Controller& c, WPARAM wParam, LPARAM lParam) {
    Log(LogProgress, "recv WM_QUERYENDSESSINO, wParam = 0x%x, lParam = 0x%x, status = %d",
        static_cast<unsigned>(wParam), static_cast<unsigned>(lParam),
        static_cast<int>(c.view.phase));
    // The installer runs elevated on our behalf; its end must be seen. Not
    // while the prompt is up: nothing runs yet, and the session must not
    // wait for an answer that may never come.
    return c.view.phase == Installing && c.installerRunning ? FALSE : TRUE;
}

LRESULT OnEndSession(HWND window, Controller& c, WPARAM wParam, LPARAM lParam) {
    Log(LogProgress, "recv WM_ENDSESSINO, wParam = 0x%x, lParam = 0x%x, status = %d",
        static_cast<unsigned>(wParam), static_cast<unsigned>(lParam),
        static_cast<int>(c.view.phase));
    if (!wParam) {
        Log(LogProgress, "session end was cancelled, go on");
        return 0;
    }
    // One deadline for every step, also for an end nested in a close that
    // is already under way: that close has decided and reported, but the
    // reports and the log must still be out before this message is answered.
    if (!sessionEndDeadline) sessionEndDeadline = GetTickCount64() + SessionEndBudgetMs;
    const bool alreadyClosing = c.view.phase == Closing;
    if (!alreadyClosing)
        DecideEnd(c, std::min<DWORD>(WorkerStopWaitMs, MsUntil(sessionEndDeadline)));
    HurryFeedbackReports();
    WaitForFeedbackReports(MsUntil(sessionEndDeadline));
    FlushLog();
    if (alreadyClosing) return 0;
    // The restart manager closes only this program and the session goes on:
    // the icon must not stay behind in the notification area.
    if (lParam & ENDSESSION_CLOSEAPP) TrayRemove(window);
    CloseSequence(window, true);
    return 0;
}

// Commands. Each acts only in the phases the workflow leaves it to; a
// command from elsewhere (another phase, another process) is ignored.

void OnUpgrade(HWND window, Controller& c) {
    if (c.view.phase != Offer) return;
    StartDownloadWorker(window, c);
    Report(c, Accepted);
    UpdateViews(window, c.view);
    CollapseWindow(window, c.view);
}

void OnRefuse(HWND window, Controller& c) {
    if (c.view.phase != Offer) return;
    c.view.exitCode = ExitCancelled;
    c.view.phase = Closing;
    Report(c, Refused);
    CloseSequence(window);
}

void OnExit(HWND window, Controller& c) {
    if (c.view.phase == Installing) return;
    EndAndClose(window, c);
}

void OnPause(Controller& c) {
    if (c.view.phase != Downloading || !c.worker.Held()) return;
    c.view.phase = Paused;
    c.worker.RequestStop();
}

// Resume and Retry: a new worker once the last one has been let go.
bool CanRestartDownload(const Controller& c) {
    return (c.view.phase == Paused || c.view.phase == NetworkLost) && !c.worker.Held();
}

void OnResume(HWND window, Controller& c) {
    if (!CanRestartDownload(c)) return;
    StartDownloadWorker(window, c);
    UpdateViews(window, c.view);
}

void OnRetry(HWND window, Controller& c) {
    if (!CanRestartDownload(c)) return;
    StartDownloadWorker(window, c);
    UpdateViews(window, c.view);
    SetStatusText(window, c.view, "");
}

void OnDone(HWND window, Controller& c) {
    if (c.view.phase != DownloadFailed && c.view.phase != Finished) return;
    c.view.phase = Finished;
    UpdateViews(window, c.view);
    EndAndClose(window, c);
}

// The close button ends the program once an outcome is shown and hides it
// to the tray before.
void OnCloseButton(HWND window, Controller& c) {
    if (c.view.phase == DownloadFailed || c.view.phase == Finished)
        EndAndClose(window, c);
    else
        HideToTray(window);
}

// WM_CLOSE from outside (Alt+F4, taskkill, another program) ends the
// program as Exit does. While installing it is ignored, as Exit is: the
// elevated installer's outcome must still be seen and reported.
LRESULT OnClose(HWND window, Controller& c) {
    Log(LogProgress, "recv WM_CLOSE, status = %d", static_cast<int>(c.view.phase));
    OnExit(window, c);
    return 0;
}

LRESULT OnCommand(HWND window, Controller& c, WPARAM wParam) {
#ifdef PENNANT_TEST_HOOKS
    RecordCommand(wParam);
#endif
    if (HIWORD(wParam) != 0) return 0;
    switch (LOWORD(wParam)) {
    case UpgradeCommand:
        OnUpgrade(window, c);
        break;
    case RefuseCommand:
        OnRefuse(window, c);
        break;
    case ExitCommand:
        OnExit(window, c);
        break;
    case PauseCommand:
        OnPause(c);
        break;
    case ResumeCommand:
        OnResume(window, c);
        break;
    case RetryCommand:
        OnRetry(window, c);
        break;
    case DoneCommand:
        OnDone(window, c);
        break;
    case ShowWindowCommand:
        ShowFromTray(window);
        break;
    case CloseCommand:
        OnCloseButton(window, c);
        break;
    case MinimizeCommand:
        HideToTray(window);
        break;
    default:
        break;
    }
    return 0;
}

LRESULT OnNcCreate(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new Controller));
    return DefWindowProcA(window, message, wParam, lParam);
}

// A worker still running is told to stop and keeps its own control block.
// The record goes when the outermost dispatch unwinds (MainWindowProc).
LRESULT OnNcDestroy(HWND window, Controller& c, UINT message, WPARAM wParam, LPARAM lParam) {
    c.destroyed = true;
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT OnCreate(HWND window, Controller& c) {
    CreateWindowContents(window, c.view);
    SetTimer(window, OfferTimer, OfferTimerPeriodMs, nullptr);
    return 0;
}

LRESULT OnDestroy(HWND window, Controller& c) {
    ReleaseWindowContents(window, c.view);
    PostQuitMessage(c.view.exitCode);
    return 0;
}

LRESULT Dispatch(HWND window, Controller& c, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate(window, c);
    case WM_PAINT:
        PaintMainWindow(window, c.view);
        return 0;
    case WM_LBUTTONDOWN:
        DragWindow(window);
        return 0;
    case WM_TASK_READY:
        return OnTaskReady(window, c);
    case WM_DOWNLOAD_PROGRESS:
        ShowProgress(window, static_cast<int>(wParam));
        return 0;
    case WM_DOWNLOAD_OVER:
        return OnDownloadOver(window, c, wParam);
    case WM_INSTALL_STARTED:
        return OnInstallStarted(window, c);
    case WM_INSTALL_OVER:
        return OnInstallOver(window, c, wParam, lParam);
    case WM_TIMER:
        return OnTimer(window, c, wParam);
    case WM_TRAY_NOTIFY:
        return OnTrayNotify(window, c.view, wParam, lParam);
    case WM_MEASUREITEM:
        return OnMeasureItem(c.view, lParam);
    case WM_DRAWITEM:
        return OnDrawItem(c.view, lParam);
    case WM_DPICHANGED:
        return OnDpiChanged(window, c.view, wParam, lParam);
    case WM_COMMAND:
        return OnCommand(window, c, wParam);
    case WM_QUERYENDSESSION:
        return OnQueryEndSession(c, wParam, lParam);
    case WM_ENDSESSION:
        return OnEndSession(window, c, wParam, lParam);
    case WM_CLOSE:
        return OnClose(window, c);
    case WM_DESTROY:
        return OnDestroy(window, c);
    case WM_NCDESTROY:
        return OnNcDestroy(window, c, message, wParam, lParam);
#ifdef PENNANT_TEST_HOOKS
    case WM_COPYDATA:
        return OnTestCopyData(window, c.view, lParam);
    case WM_TEST_LAST_COMMAND:
        return LastCommand();
    case WM_TEST_HAND_CURSOR:
        return HandCursorShown();
    case WM_TEST_STATE:
        return StateOfWindow(c.view);
    case WM_TEST_STATUS_TEXT:
        return StatusTextAtom(c.view);
#endif
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) return OnNcCreate(window, message, wParam, lParam);
    Controller* c = ControllerOf(window);
    if (!c) return DefWindowProcA(window, message, wParam, lParam);
    ++c->dispatchDepth;
    const LRESULT result = Dispatch(window, *c, message, wParam, lParam);
    if (--c->dispatchDepth == 0 && c->destroyed) delete c;
    return result;
}

DWORD ReportWaitAtExitMs() {
    return sessionEndDeadline ? MsUntil(sessionEndDeadline) : FeedbackShutdownWaitMs;
}

}  // namespace pennant
