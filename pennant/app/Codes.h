// Process-wide codes and messages shared by every part of pennant: workflow
// phases, window messages between threads, command ids, timers, feedback
// statuses, installer outcomes and exit codes.
#pragma once

#include <windows.h>

#include <cstdint>

namespace pennant {

enum Phase : int32_t {
    Offer = 0,
    Closing = 1,
    Downloading = 2,
    Paused = 3,
    NetworkLost = 4,
    DownloadFailed = 5,
    Installing = 6,
    Finished = 7,
};

constexpr UINT WM_TASK_READY = WM_USER + 151;
constexpr UINT WM_DOWNLOAD_PROGRESS = WM_USER + 152;
constexpr UINT WM_DOWNLOAD_OVER = WM_USER + 153;
constexpr UINT WM_INSTALL_OVER = WM_USER + 154;
constexpr UINT WM_TRAY_NOTIFY = WM_USER + 155;
// Posted by the installer's launch thread once the shell has started it.
constexpr UINT WM_INSTALL_STARTED = WM_USER + 156;

// Command ids (low word of WM_COMMAND's wParam); they double as control ids.
enum CommandId : int {
    DescriptionEditId = 111,
    UpgradeCommand = 112,
    RefuseCommand = 113,
    ExitCommand = 114,
    PauseCommand = 115,
    ResumeCommand = 116,
    RetryCommand = 117,
    DoneCommand = 118,
    ShowWindowCommand = 121,
    CloseCommand = 122,
    MinimizeCommand = 123,
};

enum TimerId : UINT_PTR {
    OfferTimer = 11,
    AutoCloseTimer = 12,
};
constexpr UINT OfferTimerPeriodMs = 3600 * 1000;
constexpr UINT AutoCloseTimerPeriodMs = 10 * 1000;

enum FeedbackStatus : int32_t {
    Accepted = 1,
    Downloaded = 2,
    DownloadError = 3,
    InstallStarted = 4,
    Installed = 5,
    InstallFailed = 6,
    InstallTimedOut = 7,
    Cancelled = 9,
    Refused = 10,
    OfferTimedOut = 11,
    LaunchError = 12,
};

enum InstallOutcome : int32_t {
    Exited = 1,
    WaitFailed = 3,
    LaunchFailed = 4,
    TimedOut = 3600,
};

// Process exit codes read by the program that started pennant.
enum ExitCodeValue : int32_t {
    ExitSuccess = 0,
    ExitCancelled = 1,        // refused, cancelled, session ended, bad command line
    ExitDownloadFailed = 2,   // download failed or network lost
    ExitInstallFailed = 4,    // installation failed, not started, wait failed
    ExitTimedOut = 5,         // offer or installation timed out
    ExitAlreadyRunning = 6,
    ExitWinsockFailed = 7,
    ExitWindowFailed = 8,
};

}  // namespace pennant
