// The one way tests capture the log: each capture starts with an empty log
// file and reads back what the code under test wrote.
#pragma once

#include "app/Log.h"

#include "TestFiles.h"

#include <windows.h>

#include <string>

namespace pennant_test {

class LogCapture {
public:
    // A base name of this process's own, so tests running side by side
    // never write into each other's files.
    LogCapture() {
        pennant::SetLogBaseName(("test_log_" + std::to_string(GetCurrentProcessId())).c_str());
        pennant::OpenLog(true);  // the other file, emptied
    }
    ~LogCapture() {
        pennant::CloseLog();
        DeleteFileA(pennant::LogFilePath(1).c_str());
        DeleteFileA(pennant::LogFilePath(2).c_str());
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Both files, older first, so a rotation in the middle loses nothing.
    std::string Text() const {
        pennant::FlushLog();
        const int current = pennant::CurrentLogIndex();
        return testing_support::ReadFile(pennant::LogFilePath(current % 2 + 1)) +
               testing_support::ReadFile(pennant::LogFilePath(current));
    }
    bool Contains(const std::string& part) const { return Text().find(part) != std::string::npos; }
    // True when a record of `level` holds `part`.
    bool ContainsAt(int level, const std::string& part) const {
        const std::string prefix = "[" + std::to_string(level) + "] ";
        for (const std::string& line : testing_support::Lines(Text()))
            if (line.rfind(prefix, 0) == 0 && line.find(part) != std::string::npos) return true;
        return false;
    }
};

}  // namespace pennant_test
