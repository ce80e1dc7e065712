#include "http/Feedback.h"

#include "app/Log.h"
#include "app/Task.h"
#include "http/HttpTasks.h"

#include <process.h>

#include <atomic>
#include <memory>
#include <sstream>

namespace pennant {
namespace {

// Report threads started and not yet finished.
std::atomic<int> runningReports{0};

}  // namespace

const wchar_t* FeedbackUrl() { return L"" PENNANT_FEEDBACK_URL; }

std::string FeedbackBody(const FeedbackRecord& record) {
    std::ostringstream body;
    body << "deviceid=" << record.deviceId << "&taskid=" << record.taskId
         << "&status=" << record.status;
    return body.str();
}

unsigned __stdcall FeedbackWorker(void* argument) {
    std::unique_ptr<FeedbackRecord> record(static_cast<FeedbackRecord*>(argument));
    int result = 0;
    {
        HttpPoster poster;
        result = poster.Open(FeedbackUrl());
        if (result >= 0) {
            const std::string body = FeedbackBody(*record);
            result = poster.Post(body.data(), static_cast<DWORD>(body.size()));
            Log(LogProgress, "post status %d", static_cast<int>(record->status));
        }
    }
    record.reset();
    --runningReports;
    return static_cast<unsigned>(result);
}

void PostFeedback(FeedbackRecord* record) {
    std::unique_ptr<FeedbackRecord> owned(record);
    ++runningReports;
    uintptr_t thread = _beginthreadex(nullptr, 0, FeedbackWorker, owned.get(), 0, nullptr);
    if (thread == 0) {
        --runningReports;
        Log(LogError, "create post thread failed, errno = %d", static_cast<int>(GetLastError()));
        return;
    }
    (void)owned.release();  // the thread owns it now
    CloseHandle(reinterpret_cast<HANDLE>(thread));
}

void PostStatus(int32_t status) {
    auto record = std::make_unique<FeedbackRecord>();
    if (TaskHolder* holder = CurrentTaskHolder()) {
        record->deviceId = holder->task.devid;
        record->taskId = holder->task.taskid;
    }
    record->status = status;
    PostFeedback(record.release());
}

bool WaitForFeedbackReports(DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (runningReports.load() > 0) {
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(10);
    }
    return true;
}

}  // namespace pennant
