// What this process writes to the debugger's output while a capture lives:
// OutputDebugStringA raises DBG_PRINTEXCEPTION_C, which a first vectored
// handler sees before the system handles it. One capture at a time.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>

namespace testing_support {

class DebugOutputCapture {
public:
    DebugOutputCapture() : handler_(AddVectoredExceptionHandler(1, &Handler)) { Current() = this; }
    ~DebugOutputCapture() {
        RemoveVectoredExceptionHandler(handler_);
        Current() = nullptr;
    }
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    // Everything captured since the last Take().
    std::string Take() {
        std::string text;
        std::lock_guard<std::mutex> hold(lock_);
        text.swap(text_);
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
        if (capture && record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
            std::lock_guard<std::mutex> hold(capture->lock_);
            capture->text_ += reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }

    std::mutex lock_;
    std::string text_;
    void* handler_;
};

}  // namespace testing_support
