#include "app/Log.h"

#include "app/Directories.h"

#include <windows.h>
#include <sys/stat.h>

#include <boost/thread/mutex.hpp>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

namespace pennant {
namespace {

// Guards the file, its index and rotation; formatting stays outside.
boost::mutex logMutex;
FILE* logFile = nullptr;
std::atomic<bool> logOpen{false};
int logIndex = 1;
std::string logBaseName = "dovazidero_log";

time_t ModificationTime(const std::string& path) {
    struct _stat64 info;
    return _stat64(path.c_str(), &info) == 0 ? info.st_mtime : 0;
}

// Caller holds logMutex.
void OpenLocked(bool rotate) {
    const char* mode;
    if (rotate) {
        logIndex = logIndex % 2 + 1;
        mode = "wtc";
    } else {
        logIndex = ModificationTime(LogFilePath(1)) >= ModificationTime(LogFilePath(2)) ? 1 : 2;
        mode = "atc";
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
}

void LogWrite(LogLevel level, const char* text) {
    if (!logOpen) return;

    __time64_t now = _time64(nullptr);
    struct tm local = {};
    _localtime64_s(&local, &now);
    char record[LogBufferSize];
    snprintf(record, sizeof record, "[%d] %02d-%02d-%02d %02d:%02d:%02d %s\n", level,
             local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
             local.tm_min, local.tm_sec, text);
    OutputDebugStringA(record);

    boost::mutex::scoped_lock lock(logMutex);
    if (!logFile) return;  // closed by another thread meanwhile
    fwrite(record, 1, strlen(record), logFile);
    fflush(logFile);
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
}

void CloseLog() {
    boost::mutex::scoped_lock lock(logMutex);
    CloseLocked();
}

}  // namespace pennant
