#include "http/Feedback.h"

#include "app/Handles.h"
#include "app/Log.h"
#include "http/HttpTasks.h"

#include <process.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <sstream>

namespace pennant {
namespace {

// Report threads started and not yet finished, waiting ones included.
std::atomic<int> runningReports{0};

// One report's thread: its record, the event of the report made before it
// (set when that one is over) and its own event for the report after it.
struct ReportTurn {
    std::unique_ptr<FeedbackRecord> record;
    std::shared_ptr<UniqueKernelHandle> after;
    std::shared_ptr<UniqueKernelHandle> done;
};

std::mutex chainMutex;
std::shared_ptr<UniqueKernelHandle> lastReportDone;  // guarded by chainMutex

// Set once the process must end soon: waiting reports then go at once.
const UniqueKernelHandle hurry(CreateEventA(nullptr, TRUE, FALSE, nullptr));

// The service reads the reports of one task as its story (downloaded, then
// the launch failed), so a report waits for the one made before it, at most
// as long as one post can take (its WinHTTP time-outs), and not at all once
// the end is hurried.
constexpr DWORD ReportTurnWaitMs = 10000 + 3000 + 3000 + 5000;

unsigned __stdcall ReportThread(void* argument) {
    std::unique_ptr<ReportTurn> turn(static_cast<ReportTurn*>(argument));
    if (turn->after && *turn->after) {
        const HANDLE events[] = {turn->after->Get(), hurry.Get()};
        WaitForMultipleObjects(hurry ? 2 : 1, events, FALSE, ReportTurnWaitMs);
    }
    turn->after.reset();
    const unsigned result = FeedbackWorker(turn->record.release());
    if (*turn->done) SetEvent(turn->done->Get());
    turn.reset();
    --runningReports;
    return result;
}

}  // namespace

const wchar_t* FeedbackUrl() {
#ifdef PENNANT_FEEDBACK_FROM_ENVIRONMENT
    // Test trees only: tests that run side by side each give the program a
    // recorder of their own, on a port of its own.
    static const std::wstring fromEnvironment = [] {
        wchar_t url[2048];
        const DWORD length = GetEnvironmentVariableW(L"PENNANT_FEEDBACK_URL", url, ARRAYSIZE(url));
        return std::wstring(url, length > 0 && length < ARRAYSIZE(url) ? length : 0);
    }();
    if (!fromEnvironment.empty()) return fromEnvironment.c_str();
#endif
    return L"" PENNANT_FEEDBACK_URL;
}

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
    return static_cast<unsigned>(result);
}

void PostFeedback(FeedbackRecord* record) {
    auto turn = std::make_unique<ReportTurn>();
    turn->record.reset(record);
    turn->done =
        std::make_shared<UniqueKernelHandle>(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::lock_guard<std::mutex> lock(chainMutex);
    turn->after = lastReportDone;
    std::shared_ptr<UniqueKernelHandle> done = turn->done;
    ++runningReports;
    uintptr_t thread = _beginthreadex(nullptr, 0, ReportThread, turn.get(), 0, nullptr);
    if (thread == 0) {
        --runningReports;
        Log(LogError, "create post thread failed, errno = %d", static_cast<int>(GetLastError()));
        return;  // the next report waits for the one before this
    }
    (void)turn.release();  // the thread owns it now
    lastReportDone = std::move(done);
    CloseHandle(reinterpret_cast<HANDLE>(thread));
}

void PostStatus(const std::string& deviceId, const std::string& taskId, int32_t status) {
    PostFeedback(new FeedbackRecord{deviceId, taskId, status});
}

void HurryFeedbackReports() {
    if (hurry) SetEvent(hurry.Get());
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
