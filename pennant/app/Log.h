// The process log: two alternating text files in the application data
// directory, rotated at 1 MiB, every record also sent to the debugger.
#pragma once

#include <cstddef>
#include <string>

namespace pennant {

enum LogLevel : int {
    LogDetail = 1,
    LogProgress = 2,
    LogWarning = 3,
    LogError = 4,
};

constexpr size_t LogBufferSize = 8192;       // a record holds at most 8191 characters
constexpr long LogRotateBytes = 1024L * 1024L;

// Sets the base name ("dovazidero_log") and resets the file index to 1.
void SetLogBaseName(const char* baseName);

// Opens file 1 or 2 in the application data directory: without rotation the
// more recently modified one for appending, with rotation the other one,
// emptied. A failure leaves the log closed and tells the debugger.
void OpenLog(bool rotate);

// printf-style records; silent while no log file is open.
void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogWide(LogLevel level, const wchar_t* format, ...);
void LogWrite(LogLevel level, const char* text);
// Records that one step makes together, written in one go: one write and
// one flush of the file for all of them, in order. Each write to the log
// is a trip through Wine and the file system, and one that meets the
// journal of a file system busy with the download's own flushes waits for
// it: a download writes two records per read.
void LogWriteAll(LogLevel level, const char* const* texts, size_t count);

// Flushes the open file and commits it to disk.
void FlushLog();
void CloseLog();

// Path of log file `index` (1 or 2) for the current directory and base name.
std::string LogFilePath(int index);

// Index (1 or 2) of the file currently written; for diagnostics and tests.
int CurrentLogIndex();

}  // namespace pennant
