// What this process writes to the debugger's output while a capture lives:
// OutputDebugStringA raises DBG_PRINTEXCEPTION_C, which a first vectored
// handler sees before the system's own handling of it.
#pragma once

#include <windows.h>

#include <string>

namespace testing_support {

class DebugOutputCapture {
public:
    DebugOutputCapture() {
        InitializeSRWLock(&lock_);
        Current() = this;
        handler_ = AddVectoredExceptionHandler(1, &Handler);
    }
    ~DebugOutputCapture() {
        RemoveVectoredExceptionHandler(handler_);
        Current() = nullptr;
    }
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    // Everything captured since the last Take(); the capture starts anew.
    std::string Take() {
        AcquireSRWLockExclusive(&lock_);
        std::string text;
        text.swap(text_);
        ReleaseSRWLockExclusive(&lock_);
        return text;
    }

private:
    static DebugOutputCapture*& Current() {
        static DebugOutputCapture* current = nullptr;
        return current;
    }
    static LONG CALLBACK Handler(EXCEPTION_POINTERS* pointers) {
        const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
        DebugOutputCapture* capture = Current();
        if (capture && record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2 &&
            record->ExceptionInformation[1] != 0) {
            AcquireSRWLockExclusive(&capture->lock_);
            capture->text_ += reinterpret_cast<const char*>(record->ExceptionInformation[1]);
            ReleaseSRWLockExclusive(&capture->lock_);
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }

    SRWLOCK lock_;
    std::string text_;
    void* handler_ = nullptr;
};

}  // namespace testing_support
