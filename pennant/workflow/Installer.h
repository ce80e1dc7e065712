// The elevated start of the downloaded installer and the thread that waits
// for it; the outcome reaches the main window as WM_INSTALL_OVER.
#pragma once

#include "app/Handles.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace pennant {

// How long the wait thread waits for the installer.
constexpr uint32_t InstallerWaitSeconds = 3600;

// The wait thread's heap record; the thread owns it and frees it.
struct InstallerWaitRecord {
    HWND window = nullptr;
    HANDLE process = nullptr;  // the installer process; closed by the thread
    uint32_t seconds = InstallerWaitSeconds;
};

// Thread procedure (for _beginthreadex): waits for the process, then posts
// WM_INSTALL_OVER (outcome, code) while the window exists. Returns 0.
unsigned __stdcall WaitInstallerThread(void* record);

// Starts `installerPath` with the "runas" verb on a thread of its own, the
// one that then waits for the installer, so that the main thread keeps
// answering while the elevation prompt is up; `window` owns the prompt.
// `checkedInstaller` is the handle the MD5 check read through (writes and
// deletion denied); it is held until the shell has started the process.
// The thread posts WM_INSTALL_STARTED once the installer runs, then exactly
// one WM_INSTALL_OVER: LaunchFailed (ERROR_CANCELLED when the user declined
// the prompt), how the wait ended, or Exited at once when the shell gave no
// process to wait for. 0: the thread runs.
// -1: it could not be started; WM_INSTALL_OVER LaunchFailed has been posted.
int LaunchInstaller(HWND window, const std::string& installerPath,
                    UniqueKernelHandle checkedInstaller,
                    uint32_t waitSeconds = InstallerWaitSeconds);

}  // namespace pennant
