// The one way tests capture the log: each capture starts with an empty log
// file and reads back what the code under test wrote.
#pragma once

#include "app/Log.h"

#include "TestFiles.h"

#include <string>

namespace pennant_test {

class LogCapture {
public:
    LogCapture() {
        pennant::SetLogBaseName("test_log");
        pennant::OpenLog(true);  // the other file, emptied
    }
    ~LogCapture() { pennant::CloseLog(); }
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
};

}  // namespace pennant_test
