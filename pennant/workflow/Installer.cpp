#include "workflow/Installer.h"

#include "app/Codes.h"

namespace pennant {

// Placeholder until the launch lands: every launch fails.
unsigned __stdcall WaitInstallerThread(void* record) {
    delete static_cast<InstallerWaitRecord*>(record);
    return 0;
}

int LaunchInstaller(HWND window, const std::string&, UniqueKernelHandle, uint32_t) {
    SendMessageA(window, WM_INSTALL_OVER, LaunchFailed, ERROR_CALL_NOT_IMPLEMENTED);
    return -1;
}

}  // namespace pennant
