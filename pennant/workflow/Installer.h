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

// Starts `installerPath` with the "runas" verb. `checkedInstaller` is the
// handle the MD5 check read through (writes and deletion denied); it is held
// until the shell has started the process. 0: the installer runs and a
// thread waits for it, the caller reports InstallStarted. -1: the installer
// did not start or cannot be waited for; WM_INSTALL_OVER (LaunchFailed or
// WaitFailed) has already been sent to `window`.
int LaunchInstaller(HWND window, const std::string& installerPath,
                    UniqueKernelHandle checkedInstaller,
                    uint32_t waitSeconds = InstallerWaitSeconds);

}  // namespace pennant
