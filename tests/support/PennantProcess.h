// Runs the real pennant.exe built next to the test executable, and reads
// what it appended to its log.
#pragma once

#include "TestFiles.h"

#include <windows.h>

#include <string>

namespace testing_support {

// A running pennant.exe started by the test; ended by its handle when the
// test is over, so a following test never meets the single-instance rule.
class PennantProcess {
public:
    enum Start { Running, Suspended };

    // Starts pennant.exe with `tail` as the command-line tail; a Suspended
    // process runs no code of its own until Resume().
    explicit PennantProcess(const std::string& tail, Start start = Running) {
        std::string commandLine = "\"" + ExecutableDirectory() + "\\pennant.exe\" " + tail;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        if (CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE,
                           start == Suspended ? CREATE_SUSPENDED : 0, nullptr, nullptr, &startup,
                           &info_) &&
            start == Running) {
            CloseHandle(info_.hThread);
            info_.hThread = nullptr;
        }
    }
    ~PennantProcess() {
        if (info_.hThread) CloseHandle(info_.hThread);
        if (!info_.hProcess) return;
        if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(info_.hProcess, 99);
            WaitForSingleObject(info_.hProcess, 10000);
        }
        CloseHandle(info_.hProcess);
    }
    PennantProcess(const PennantProcess&) = delete;
    PennantProcess& operator=(const PennantProcess&) = delete;

    bool Started() const { return info_.hProcess != nullptr; }

    // Lets a process started Suspended run.
    bool Resume() {
        if (!info_.hThread) return false;
        const bool resumed = ResumeThread(info_.hThread) != static_cast<DWORD>(-1);
        CloseHandle(info_.hThread);
        info_.hThread = nullptr;
        return resumed;
    }
    DWORD Id() const { return info_.dwProcessId; }

    // The exit code, or -1 when the process is still running after `ms`.
    long Wait(DWORD ms) const {
        if (!info_.hProcess || WaitForSingleObject(info_.hProcess, ms) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(info_.hProcess, &code);
        return static_cast<long>(code);
    }

    // The process's top-level window of `className`, waiting up to `ms` for it.
    HWND FindWindow(const char* className, DWORD ms) const {
        for (DWORD waited = 0;; waited += 50) {
            HWND found = nullptr;
            for (HWND w = FindWindowExA(nullptr, nullptr, className, nullptr); w;
                 w = FindWindowExA(nullptr, w, className, nullptr)) {
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                if (pid == info_.dwProcessId) found = w;
            }
            if (found || waited >= ms) return found;
            Sleep(50);
        }
    }

    // The process's pop-up once its offer has risen into place (visible, its
    // bottom edge on the work area's), waiting up to `ms`; null if never.
    HWND WaitForOffer(DWORD ms) const {
        RECT work = {};
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
        for (DWORD waited = 0;; waited += 50) {
            HWND window = FindWindow("DOVAZIDERO", 0);
            RECT r;
            if (window && IsWindowVisible(window) && GetWindowRect(window, &r) &&
                r.bottom == work.bottom)
                return window;
            if (waited >= ms || Wait(0) != -1) return nullptr;
            Sleep(50);
        }
    }

private:
    PROCESS_INFORMATION info_ = {};
};

// Remembers the sizes of pennant's two log files and returns what was
// appended since (a file that shrank was rotated and counts whole).
class LogTail {
public:
    explicit LogTail(std::string directory) : directory_(std::move(directory)) {
        for (int i = 0; i < 2; ++i) start_[i] = FileSize(Path(i + 1));
    }
    std::string Appended() const {
        std::string text;
        for (int i = 0; i < 2; ++i) {
            std::string whole = ReadFile(Path(i + 1));
            long long from = start_[i] < 0 || start_[i] > static_cast<long long>(whole.size())
                                 ? 0
                                 : start_[i];
            text += whole.substr(static_cast<size_t>(from));
        }
        return text;
    }

private:
    std::string Path(int index) const {
        return directory_ + "\\dovazidero_log." + std::to_string(index) + ".txt";
    }
    std::string directory_;
    long long start_[2];
};

}  // namespace testing_support
