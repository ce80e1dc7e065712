// Winsock 2 must come before windows.h.
#include <winsock2.h>

#include "workflow/Program.h"

#include "app/Codes.h"
#include "app/Handles.h"
#include "app/Log.h"
#include "app/Task.h"
#include "http/Feedback.h"
#include "http/Proxy.h"
#include "ui/Tray.h"
#include "workflow/Controller.h"
#include "workflow/TaskLoader.h"

#include <windows.h>
#include <commctrl.h>
#include <gdiplus.h>
#include <shellapi.h>
#include <tlhelp32.h>

namespace pennant {

namespace {

constexpr UINT TitleStringId = 103;
constexpr UINT ClassStringId = 109;
constexpr WORD AppIconId = 107;
constexpr WORD SmallIconId = 108;  // the executable carries no such icon

// Keeps Winsock started for its lifetime.
class WinsockSession {
public:
    WinsockSession() {
        WSADATA data;
        result_ = WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockSession() {
        if (result_ == 0) WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    int Result() const { return result_; }

private:
    int result_;
};

// Keeps GDI+ started for its lifetime; a failed start is not examined.
class GdiplusSession {
public:
    GdiplusSession() {
        Gdiplus::GdiplusStartupInput input;
        started_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr) == Gdiplus::Ok;
    }
    ~GdiplusSession() {
        if (started_) Gdiplus::GdiplusShutdown(token_);
    }
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;

private:
    ULONG_PTR token_ = 0;
    bool started_ = false;
};

int RunMessageLoop() {
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}

void RegisterMainClass(HINSTANCE instance, const char* className) {
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(AppIconId));
    wc.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(SmallIconId));
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = className;
    RegisterClassExA(&wc);
}

// The mark of the running copy: a named mutex that exists while it runs.
// Creating it is one atomic step, so of copies started together exactly one
// finds it new, which the process count alone cannot promise.
constexpr char InstanceMarkName[] = "Global\\Aldermoor.pennant.instance";

// True when this process is the one to go on; `mark` keeps the mutex for the
// process's life.
bool TakeInstanceMark(UniqueKernelHandle& mark) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, InstanceMarkName);
    const DWORD error = GetLastError();
    mark.Reset(mutex);
    if (mark) return error != ERROR_ALREADY_EXISTS;
    // Made by a copy of another user or elevation, with access this one lacks.
    if (error == ERROR_ACCESS_DENIED) return false;
    Log(LogError, "CreateMutex failed, errno = %lu", error);
    return InstanceCount() < 2;
}

// On Windows the progress bar's class exists only once the common controls
// are initialised (Wine's shell32 happens to load them for every program).
void InitProgressBarClass() {
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS;
    if (!InitCommonControlsEx(&controls))
        Log(LogError, "InitCommonControlsEx failed, errno = %lu", GetLastError());
}

int Shutdown(int code) {
    Log(LogProgress, "return code = %d", code);
    CloseLog();
    return code;
}

}  // namespace

int InstanceCount() {
    UniqueKernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 0;
    int count = 0;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.Get(), &entry); more;
         more = Process32Next(snapshot.Get(), &entry)) {
        if (lstrcmpiA(entry.szExeFile, "pennant.exe") == 0) ++count;
    }
    return count;
}

std::string ArgumentFromCommandLine(const char* commandTail) {
    if (!commandTail) return std::string();
    std::string tail(commandTail);
    size_t space = tail.rfind(' ');
    return space == std::string::npos ? tail : tail.substr(space + 1);
}

bool initInstance(HINSTANCE instance, const std::string& argument, const char* className,
                  const char* title) {
    LONG_PTR exStyle = GetWindowLongPtrA(GetDesktopWindow(), GWL_EXSTYLE);
    exStyle = (exStyle & ~static_cast<LONG_PTR>(WS_EX_APPWINDOW)) | WS_EX_TOPMOST |
              WS_EX_TOOLWINDOW;
    HWND window = CreateWindowExA(static_cast<DWORD>(exStyle), className, title,
                                  WS_POPUP | WS_VISIBLE, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                                  GetDesktopWindow(), nullptr, instance, nullptr);
    if (!window) return false;
    ShowWindow(window, SW_HIDE);
    TrayAdd(window);

    auto* holder = new TaskHolder;
    holder->window = window;
    SetCurrentTaskHolder(holder);
    TaskLoader(argument);
    return true;
}

int RunPennant(HINSTANCE instance, const char* commandTail) {
    SetLogBaseName("dovazidero_log");
    CloseLog();
    OpenLog(false);

    UniqueKernelHandle instanceMark;
    if (!TakeInstanceMark(instanceMark)) {
        Log(LogProgress, "pennant is running !");
        return Shutdown(ExitAlreadyRunning);
    }

    // Winsock and GDI+ are shut down before the return code is logged.
    int code = [&] {
        WinsockSession winsock;
        if (winsock.Result() != 0) {
            Log(LogError, "WSAStartup failed: %d", winsock.Result());
            return static_cast<int>(ExitWinsockFailed);
        }
        GdiplusSession gdiplus;

        const std::string argument = ArgumentFromCommandLine(commandTail);
        Log(LogDetail, "command line : %s", argument.c_str());
        // The way out the user's browser takes, read before the first request.
        LoadUserProxySettings();

        char title[100] = {};
        char className[100] = {};
        LoadStringA(instance, TitleStringId, title, sizeof title);
        LoadStringA(instance, ClassStringId, className, sizeof className);
        InitProgressBarClass();
        RegisterMainClass(instance, className);

        if (!initInstance(instance, argument, className, title)) {
            Log(LogError, "initInstance failed");
            return static_cast<int>(ExitWindowFailed);
        }
        const int result = RunMessageLoop();
        // Reports of the last stages are still on their way: wait for all of
        // them, a few seconds at most, before Winsock goes away under them.
        // WinMain ends the process after the log is closed, whatever is left.
        WaitForFeedbackReports(ReportWaitAtExitMs());
        return result;
    }();
    return Shutdown(code);
}

}  // namespace pennant
