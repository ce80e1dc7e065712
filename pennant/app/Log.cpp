#include "app/Log.h"

#include "app/Directories.h"

#include <windows.h>
#include <sys/stat.h>

#include <io.h>

#include <boost/thread/mutex.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace pennant {
namespace {

// Guards the file, its index and rotation; formatting stays outside.
boost::mutex logMutex;
FILE* logFile = nullptr;
std::atomic<bool> logOpen{false};
int logIndex = 1;
std::string logBaseName = "dovazidero_log";

// Committing a record to disk is a disk flush on Windows. Records of level 2
// and above are committed at once; detail records (two per received chunk
// of a download) reach the system at once but the disk with the next
// important record, or within CommitDelayMs through the timer.
constexpr DWORD CommitDelayMs = 1000;
bool logDirty = false;
DWORD lastCommit = 0;
HANDLE commitTimer = nullptr;

// Caller holds logMutex.
void CommitLocked() {
    if (logFile && logDirty) _commit(_fileno(logFile));
    logDirty = false;
    lastCommit = GetTickCount();
}

void CALLBACK CommitLater(void*, BOOLEAN) {
    boost::mutex::scoped_lock lock(logMutex);
    if (logDirty) CommitLocked();
}

// The debugger copy of the records, sent by a thread of its own: under Wine
// one OutputDebugStringA costs about 100 us, and a download writes two
// records per read, which held the download thread back by a tenth. The
// records go out in the order they were written to the file, several
// together when several wait (never more than one record's buffer per
// call); Stop() sends what is left. Without a thread the caller sends.
class DebugMirror {
public:
    ~DebugMirror() { Stop(); }

    void Start() {
        std::lock_guard<std::mutex> hold(lock_);
        if (thread_.joinable()) return;
        ending_ = false;
        try {
            thread_ = std::thread(&DebugMirror::Run, this);
        } catch (...) {
            // No thread to spare: Add() sends at once.
        }
    }

    void Add(const char* record) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (thread_.joinable()) {
                queue_.emplace_back(record);
                changed_.notify_one();
                return;
            }
        }
        OutputDebugStringA(record);
    }

    // Sends what waits and ends the thread.
    void Stop() {
        std::thread thread;
        {
            std::lock_guard<std::mutex> hold(lock_);
            ending_ = true;
            thread.swap(thread_);
            changed_.notify_one();
        }
        if (thread.joinable()) thread.join();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            changed_.wait(hold, [this] { return !queue_.empty() || ending_; });
            if (queue_.empty()) return;
            std::deque<std::string> records;
            records.swap(queue_);
            hold.unlock();
            std::string text;
            for (const std::string& record : records) {
                if (!text.empty() && text.size() + record.size() >= LogBufferSize) {
                    OutputDebugStringA(text.c_str());
                    text.clear();
                }
                text += record;
            }
            OutputDebugStringA(text.c_str());
            hold.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;
    bool ending_ = false;
    std::thread thread_;
};

DebugMirror debugMirror;

time_t ModificationTime(const std::string& path) {
    struct _stat64 info;
    return _stat64(path.c_str(), &info) == 0 ? info.st_mtime : 0;
}

// Caller holds logMutex.
void OpenLocked(bool rotate) {
    const char* mode;
    if (rotate) {
        logIndex = logIndex % 2 + 1;
        mode = "wt";
    } else {
        logIndex = ModificationTime(LogFilePath(1)) >= ModificationTime(LogFilePath(2)) ? 1 : 2;
        mode = "at";
    }
    std::string path = LogFilePath(logIndex);
    logFile = fopen(path.c_str(), mode);
    logOpen = logFile != nullptr;
    if (!logFile) {
        char message[512];
        snprintf(message, sizeof message, "open log file %s failed, errno = %lu\n",
                 path.c_str(), GetLastError());
        OutputDebugStringA(message);
    }
}

void CloseLocked() {
    CommitLocked();
    if (logFile) fclose(logFile);
    logFile = nullptr;
    logOpen = false;
}

}  // namespace

void SetLogBaseName(const char* baseName) {
    boost::mutex::scoped_lock lock(logMutex);
    logBaseName = baseName;
    logIndex = 1;
}

std::string LogFilePath(int index) {
    return GetAppDataDirectory() + "\\" + logBaseName + "." + std::to_string(index) + ".txt";
}

int CurrentLogIndex() {
    boost::mutex::scoped_lock lock(logMutex);
    return logIndex;
}

void OpenLog(bool rotate) {
    boost::mutex::scoped_lock lock(logMutex);
    CloseLocked();
    OpenLocked(rotate);
    debugMirror.Start();
    if (!commitTimer &&
        !CreateTimerQueueTimer(&commitTimer, nullptr, CommitLater, nullptr, CommitDelayMs,
                               CommitDelayMs, WT_EXECUTEDEFAULT))
        commitTimer = nullptr;
}

void LogWrite(LogLevel level, const char* text) { LogWriteAll(level, &text, 1); }

void LogWriteAll(LogLevel level, const char* const* texts, size_t count) {
    if (!logOpen) return;

    __time64_t now = _time64(nullptr);
    struct tm local = {};
    _localtime64_s(&local, &now);
    std::string records;
    for (size_t i = 0; i < count; ++i) {
        char record[LogBufferSize];
        snprintf(record, sizeof record, "[%d] %02d-%02d-%02d %02d:%02d:%02d %s\n", level,
                 local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                 local.tm_min, local.tm_sec, texts[i]);
        records += record;
    }
    boost::mutex::scoped_lock lock(logMutex);
    // Queued under the lock, so the debugger sees the file's order.
    debugMirror.Add(records.c_str());
    if (!logFile) return;  // closed by another thread meanwhile
    fwrite(records.data(), 1, records.size(), logFile);
    fflush(logFile);
    logDirty = true;
    if (level >= LogProgress || GetTickCount() - lastCommit >= CommitDelayMs) CommitLocked();
    if (ftell(logFile) >= LogRotateBytes) {
        CloseLocked();
        OpenLocked(true);
    }
}

void Log(LogLevel level, const char* format, ...) {
    if (!logOpen) return;
    char text[LogBufferSize];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    LogWrite(level, text);
}

void LogWide(LogLevel level, const wchar_t* format, ...) {
    if (!logOpen) return;
    wchar_t wide[LogBufferSize];
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(wide, LogBufferSize - 1, format, args);
    va_end(args);
    wide[LogBufferSize - 1] = L'\0';
    if (n < 0 || n >= static_cast<int>(LogBufferSize)) n = static_cast<int>(wcslen(wide));

    // A double-byte code page may need two bytes per character.
    std::string narrow(static_cast<size_t>(n) * 2 + 1, '\0');
    int bytes = WideCharToMultiByte(CP_ACP, 0, wide, n, &narrow[0],
                                    static_cast<int>(narrow.size()), nullptr, nullptr);
    narrow.resize(bytes > 0 ? static_cast<size_t>(bytes) : 0);
    if (narrow.size() >= LogBufferSize) narrow.resize(LogBufferSize - 1);
    LogWrite(level, narrow.c_str());
}

void FlushLog() {
    boost::mutex::scoped_lock lock(logMutex);
    if (logFile) fflush(logFile);
    CommitLocked();
}

void CloseLog() {
    HANDLE timer = nullptr;
    {
        boost::mutex::scoped_lock lock(logMutex);
        CloseLocked();
        std::swap(timer, commitTimer);
    }
    // Outside the lock: this waits for a running callback, which takes it.
    if (timer) DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
    debugMirror.Stop();
}

}  // namespace pennant
