#include "workflow/DownloadNotifier.h"

#include "app/Codes.h"
#include "app/Log.h"
#include "http/DownloadJob.h"

#include <process.h>

#include <memory>

namespace pennant {

void HttpDownloadNotifyByMessage::OnProgress(int64_t done, int64_t total) {
    if (total == 0 || !IsWindow(window)) return;
    const int64_t percent = done * 100 / total;
    PostMessageA(window, WM_DOWNLOAD_PROGRESS, static_cast<WPARAM>(static_cast<uint32_t>(percent)),
                 0);
}

bool HttpDownloadNotifyByMessage::IsCancelled() { return paused && *paused; }

unsigned __stdcall DownloadWorker(void* argument) {
    std::unique_ptr<DownloadWorkerRecord> record(static_cast<DownloadWorkerRecord*>(argument));
    DownloadJob job;
    job.url = record->url;
    job.md5 = record->md5;
    job.etag = record->etag;
    job.lastModified = record->lastModified;
    job.fileName = record->fileName;
    job.totalSize = record->totalSize;

    HttpDownloadNotifyByMessage notify(record->window, record->paused);
    RunDownloadJob(job, &notify);

    if (IsWindow(record->window)) {
        if (job.result == DownloadReady) PostMessageA(record->window, WM_DOWNLOAD_PROGRESS, 100, 100);
        PostMessageA(record->window, WM_DOWNLOAD_OVER, static_cast<WPARAM>(job.result), 0);
    }
    return 0;
}

HANDLE StartDownloadWorker(DownloadWorkerRecord* record) {
    std::unique_ptr<DownloadWorkerRecord> owned(record);
    uintptr_t thread = _beginthreadex(nullptr, 0, DownloadWorker, owned.get(), 0, nullptr);
    if (thread == 0) {
        Log(LogError, "create download thread failed, errno = %d",
            static_cast<int>(GetLastError()));
        return nullptr;
    }
    (void)owned.release();  // the thread owns it now
    return reinterpret_cast<HANDLE>(thread);
}

}  // namespace pennant
