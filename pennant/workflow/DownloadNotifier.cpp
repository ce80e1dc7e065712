#include "workflow/DownloadNotifier.h"

#include "app/Codes.h"
#include "app/Log.h"
#include "http/DownloadJob.h"

#include <process.h>

#include <utility>

namespace pennant {

void HttpDownloadNotifyByMessage::OnProgress(int64_t done, int64_t total) {
    if (total == 0 || !IsWindow(window)) return;
    const int64_t percent = done * 100 / total;
    PostMessageA(window, WM_DOWNLOAD_PROGRESS, static_cast<WPARAM>(static_cast<uint32_t>(percent)),
                 0);
}

bool HttpDownloadNotifyByMessage::IsCancelled() { return stop && *stop; }

unsigned __stdcall DownloadWorker(void* argument) {
    std::unique_ptr<DownloadWorkerRecord> record(static_cast<DownloadWorkerRecord*>(argument));
    DownloadJob job;
    job.url = record->url;
    job.md5 = record->md5;
    job.sha256 = record->sha256;
    job.etag = record->etag;
    job.lastModified = record->lastModified;
    job.fileName = record->fileName;
    job.totalSize = record->totalSize;

    DownloadWorkerControl& control = *record->control;
    HttpDownloadNotifyByMessage notify(record->window, &control.stop);
    RunDownloadJob(job, &notify, &control.checkedInstaller);

    if (IsWindow(record->window)) {
        if (job.result == DownloadReady) PostMessageA(record->window, WM_DOWNLOAD_PROGRESS, 100, 100);
        PostMessageA(record->window, WM_DOWNLOAD_OVER, static_cast<WPARAM>(job.result), 0);
    }
    return 0;
}

DownloadWorkerThread::~DownloadWorkerThread() { RequestStop(); }

bool DownloadWorkerThread::Start(std::unique_ptr<DownloadWorkerRecord> record) {
    // Two workers would write the same part file.
    if (Held()) {
        Log(LogWarning, "a loading thread is still held, no second one");
        return false;
    }
    auto control = std::make_shared<DownloadWorkerControl>();
    record->control = control;
    uintptr_t thread = _beginthreadex(nullptr, 0, DownloadWorker, record.get(), 0, nullptr);
    if (thread == 0) {
        Log(LogError, "create loading thread failed, errno = %d",
            static_cast<int>(GetLastError()));
        return false;
    }
    (void)record.release();  // the thread owns it now
    thread_.Reset(reinterpret_cast<HANDLE>(thread));
    control_ = std::move(control);
    return true;
}

void DownloadWorkerThread::RequestStop() {
    if (control_) control_->stop = true;
}

void DownloadWorkerThread::Wait(DWORD ms) {
    if (!thread_) return;
    const DWORD result = WaitForSingleObject(thread_.Get(), ms);
    if (result != WAIT_OBJECT_0)
        Log(LogError, "wait worker failed, ret = %d, errno = %d", static_cast<int>(result),
            static_cast<int>(GetLastError()));
    thread_.Reset();
    control_.reset();
}

UniqueKernelHandle DownloadWorkerThread::TakeCheckedInstaller() {
    if (!control_) return UniqueKernelHandle();
    return std::move(control_->checkedInstaller);
}

}  // namespace pennant
