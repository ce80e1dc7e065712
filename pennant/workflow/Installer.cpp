#include "workflow/Installer.h"

#include "app/Codes.h"
#include "app/Log.h"

#include <shellapi.h>
#include <process.h>

#include <memory>

namespace pennant {

#ifndef _WIN64
// The shell's ANSI launch record of the 32-bit program.
static_assert(sizeof(SHELLEXECUTEINFOA) == 60, "SHELLEXECUTEINFOA layout");
#endif

unsigned __stdcall WaitInstallerThread(void* argument) {
    std::unique_ptr<InstallerWaitRecord> record(static_cast<InstallerWaitRecord*>(argument));
    // The one owner of the process handle from here on.
    UniqueKernelHandle process(record->process);
    Log(LogDetail, "pid of chlid process to wait is %u",
        static_cast<unsigned>(GetProcessId(process.Get())));

    InstallOutcome outcome;
    DWORD code = 0;
    const DWORD waited = WaitForSingleObject(process.Get(), record->seconds * 1000);
    if (waited == WAIT_OBJECT_0) {
        outcome = Exited;
        GetExitCodeProcess(process.Get(), &code);
    } else if (waited == WAIT_TIMEOUT) {
        // The installer keeps running; only the wait is over.
        code = GetLastError();
        Log(LogProgress, "wait installer time out");
        outcome = TimedOut;
    } else {
        code = GetLastError();
        Log(LogError, "WaitForSingleObject Fail, errno = %d", static_cast<int>(code));
        outcome = WaitFailed;
    }
    process.Reset();
    if (IsWindow(record->window))
        PostMessageA(record->window, WM_INSTALL_OVER, static_cast<WPARAM>(outcome),
                     static_cast<LPARAM>(code));
    return 0;
}

int LaunchInstaller(HWND window, const std::string& installerPath,
                    UniqueKernelHandle checkedInstaller, uint32_t waitSeconds) {
    SHELLEXECUTEINFOA launch = {};
    launch.cbSize = sizeof launch;
    launch.fMask = SEE_MASK_NOCLOSEPROCESS;
    launch.hwnd = nullptr;
    launch.lpVerb = "runas";
    launch.lpFile = installerPath.c_str();
    launch.lpParameters = nullptr;
    launch.lpDirectory = nullptr;
    launch.nShow = SW_SHOWNORMAL;
    const BOOL started = ShellExecuteExA(&launch);
    DWORD launchError = GetLastError();
    // Wine's shell reports some failures (an image it cannot load) only in
    // the instance field, as one of the shell's small error numbers.
    if (!started && launchError == 0)
        launchError = static_cast<DWORD>(reinterpret_cast<INT_PTR>(launch.hInstApp));
    // The process has its own image open now; the download folder may
    // change the file again.
    checkedInstaller.Reset();
    if (!started) {
        Log(LogError, "ShellExecute/CreateProcess Fail, errno = %d", static_cast<int>(launchError));
        SendMessageA(window, WM_INSTALL_OVER, LaunchFailed, static_cast<LPARAM>(launchError));
        return -1;
    }
    Log(LogProgress, "ShellExecute OK");

    auto record = std::make_unique<InstallerWaitRecord>();
    record->window = window;
    record->process = launch.hProcess;
    record->seconds = waitSeconds;
    UniqueKernelHandle thread(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, WaitInstallerThread, record.get(), 0, nullptr)));
    if (!thread) {
        const DWORD error = GetLastError();
        Log(LogError, "create installing thread failed, errno = %d", static_cast<int>(error));
        if (record->process) CloseHandle(record->process);
        // Nobody would ever end the Installing phase otherwise: the window
        // stays hidden, Exit is ignored and the session end refused.
        SendMessageA(window, WM_INSTALL_OVER, WaitFailed, static_cast<LPARAM>(error));
        return -1;
    }
    record.release();  // the thread owns it now
    return 0;
}

}  // namespace pennant
