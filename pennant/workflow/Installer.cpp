#include "workflow/Installer.h"

#include "app/Codes.h"
#include "app/Log.h"

#include <objbase.h>
#include <shellapi.h>
#include <process.h>

#include <memory>
#include <utility>

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

namespace {

// What the launch thread owns: the launch, the held installer, the wait.
struct InstallerLaunchRecord {
    HWND window = nullptr;
    std::string installerPath;
    UniqueKernelHandle checkedInstaller;
    uint32_t seconds = InstallerWaitSeconds;
};

// The shell may hand the launch to extensions that need COM on the thread.
class ComApartment {
public:
    ComApartment()
        : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
    ~ComApartment() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    HRESULT result_;
};

void PostToLiveWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (IsWindow(window)) PostMessageA(window, message, wParam, lParam);
}

// How the shell's start ended: the installer's process, or the reason why
// there is none. Every way it ends is one outcome message for the window.
struct LaunchResult {
    bool started = false;
    UniqueKernelHandle process;  // empty after a start handed to a running process
    DWORD error = 0;             // why nothing was started
};

BOOL ShellStart(SHELLEXECUTEINFOA& launch) {
#ifdef PENNANT_TEST_HOOKS
    // Test builds only: the shell's two answers a test cannot provoke at
    // will. "noprocess" asks the real shell for no process handle, as a
    // start handed to a running process returns; "declined" is the answer
    // to a prompt the user refused.
    char seam[16] = {};
    GetEnvironmentVariableA("PENNANT_TEST_LAUNCH", seam, sizeof seam);
    if (lstrcmpA(seam, "noprocess") == 0) launch.fMask &= ~SEE_MASK_NOCLOSEPROCESS;
    if (lstrcmpA(seam, "declined") == 0) {
        SetLastError(ERROR_CANCELLED);
        return FALSE;
    }
#endif
    return ShellExecuteExA(&launch);
}

LaunchResult StartElevated(InstallerLaunchRecord& record) {
    ComApartment com;
    SHELLEXECUTEINFOA launch = {};
    launch.cbSize = sizeof launch;
    // Without NO_UI the shell answers a file it cannot start with a modal
    // message box of its own; pennant shows its own failure text instead.
    launch.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    // The prompt's owner: without one it opens behind other windows.
    launch.hwnd = record.window;
    launch.lpVerb = "runas";
    launch.lpFile = record.installerPath.c_str();
    launch.nShow = SW_SHOWNORMAL;
    LaunchResult result;
    result.started = ShellStart(launch) != FALSE;
    result.error = result.started ? 0 : GetLastError();
    // Wine's shell reports some failures (an image it cannot load) only in
    // the instance field, as one of the shell's small error numbers.
    if (!result.started && result.error == 0)
        result.error = static_cast<DWORD>(reinterpret_cast<INT_PTR>(launch.hInstApp));
    // The process has its own image open now; the download folder may
    // change the file again.
    record.checkedInstaller.Reset();
    if (result.error == ERROR_CANCELLED)
        Log(LogProgress, "the user declined elevation");
    else if (!result.started)
        Log(LogError, "ShellExecute/CreateProcess Fail, errno = %d", static_cast<int>(result.error));
    else
        Log(LogProgress, "ShellExecute OK");
    if (result.started) result.process.Reset(launch.hProcess);
    return result;
}

unsigned __stdcall LaunchInstallerThread(void* argument) {
    std::unique_ptr<InstallerLaunchRecord> record(static_cast<InstallerLaunchRecord*>(argument));
    LaunchResult launch = StartElevated(*record);
    if (!launch.started) {
        PostToLiveWindow(record->window, WM_INSTALL_OVER, LaunchFailed,
                         static_cast<LPARAM>(launch.error));
        return 0;
    }
    PostToLiveWindow(record->window, WM_INSTALL_STARTED, 0, 0);
    if (!launch.process) {
        // The shell handed the start to a process already running: there is
        // nothing to wait for, so the installed version is judged now.
        Log(LogWarning, "no installer process to wait for, check the installation now");
        PostToLiveWindow(record->window, WM_INSTALL_OVER, Exited, 0);
        return 0;
    }
    auto wait = std::make_unique<InstallerWaitRecord>();
    wait->window = record->window;
    wait->process = launch.process.Release();
    wait->seconds = record->seconds;
    return WaitInstallerThread(wait.release());
}

}  // namespace

int LaunchInstaller(HWND window, const std::string& installerPath,
                    UniqueKernelHandle checkedInstaller, uint32_t waitSeconds) {
    auto record = std::make_unique<InstallerLaunchRecord>();
    record->window = window;
    record->installerPath = installerPath;
    record->checkedInstaller = std::move(checkedInstaller);
    record->seconds = waitSeconds;
    UniqueKernelHandle thread(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, LaunchInstallerThread, record.get(), 0, nullptr)));
    if (!thread) {
        const DWORD error = GetLastError();
        Log(LogError, "create installing thread failed, errno = %d", static_cast<int>(error));
        // Nothing was started; the Installing phase must still end.
        PostToLiveWindow(window, WM_INSTALL_OVER, LaunchFailed, static_cast<LPARAM>(error));
        return -1;
    }
    (void)record.release();  // the thread owns it now
    return 0;
}

}  // namespace pennant
