// The one upgrade task of a pennant process, decoded from the Base64 JSON
// command-line argument.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace pennant {

struct Task {
    std::string pid;
    std::string md5;
    std::string sha256;  // optional; empty when the task gave none
    std::string taskid;
    std::string url;
    std::string version;
    std::string oldversion;
    std::string devid;
    std::string showname;     // UTF-8
    std::string description;  // UTF-8
    std::string fname;
    std::string path;
    std::string exe;
    std::string logo;
    std::string logoFile;
    int32_t bits = 0;
    int64_t size = 0;
    std::string etag;
    int64_t lastModified = 0;
};

// Owns the task for the lifetime of the main window.
struct TaskHolder {
    HWND window = nullptr;
    Task task;
};

// The process-wide holder; null before initInstance and after the close
// sequence released it.
TaskHolder* CurrentTaskHolder();
void SetCurrentTaskHolder(TaskHolder* holder);  // takes ownership; null releases

// Decodes and reads every member into `task`; false (after two error lines
// in the log) when the JSON is malformed, a member is missing, `bits` is no
// 32-bit integer, `fname` is not a plain file name or the optional `sha256`
// is not 64 hexadecimal digits.
bool ParseTask(const std::string& argument, Task& task);

// True when `name` can be used as a file name inside the download directory.
bool IsPlainFileName(const std::string& name);

}  // namespace pennant
