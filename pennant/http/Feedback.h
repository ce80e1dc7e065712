// Fire-and-forget status reports to the update service: one form POST per
// report, each on a thread of its own, its outcome only in the log.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace pennant {

// What one report thread needs, copied from the task when the report is made.
struct FeedbackRecord {
    std::string deviceId;
    std::string taskId;
    int32_t status = 0;
};

// The compile-time feedback endpoint (the build setting PENNANT_FEEDBACK_URL);
// in test trees the environment variable of that name comes first.
const wchar_t* FeedbackUrl();

// The request body: deviceid=<id>&taskid=<id>&status=<n>, byte for byte.
std::string FeedbackBody(const FeedbackRecord& record);

// Reports `status` about the task with these ids on a new detached thread.
// The caller keeps its own copies of the ids (the task may be gone by the
// time of the last report). Nothing is returned and nothing is waited for.
void PostStatus(const std::string& deviceId, const std::string& taskId, int32_t status);

// The same for an explicit record (taken over, deleted on every path).
// Reports reach the service in the order they were made: each thread sends
// once the report made before it has finished (sent, failed or given up).
void PostFeedback(FeedbackRecord* record);

// Thread procedure: POSTs the record's report once and deletes the record.
// Returns the post's task result code.
unsigned __stdcall FeedbackWorker(void* record);

// From now on no report waits for the one made before it: the session is
// ending and every report must leave within its last seconds.
void HurryFeedbackReports();

// How long the process waits for report threads at its end.
constexpr DWORD FeedbackShutdownWaitMs = 3000;

// Waits up to `timeoutMs` for every report thread started so far (also one
// still waiting for its turn); true when none is left. Called before the
// process shuts networking down.
bool WaitForFeedbackReports(DWORD timeoutMs);

}  // namespace pennant
