// The download worker thread and its notifier: progress turned into window
// messages for the main window, the stop request read from the worker's own
// control block.
#pragma once

#include "app/Handles.h"
#include "http/HttpTasks.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace pennant {

// Turns progress into WM_DOWNLOAD_PROGRESS for the main window and reads the
// stop flag to learn that the worker must end.
class HttpDownloadNotifyByMessage : public HttpLoadNotify {
public:
    HttpDownloadNotifyByMessage(HWND window, const std::atomic<bool>* stop)
        : window(window), stop(stop) {}
    void OnProgress(int64_t done, int64_t total) override;
    bool IsCancelled() override;

private:
    HWND window;
    const std::atomic<bool>* stop;
};

// Shared by the controller and one download worker; whichever of them ends
// last frees it, so a worker that outlives the window never reads freed
// memory.
struct DownloadWorkerControl {
    // Set by the controller (pause, end of the program); read by the worker
    // once per received chunk.
    std::atomic<bool> stop{false};
    // The installer whose MD5 was checked, still open with writes and
    // deletion denied. The worker fills it before it posts WM_DOWNLOAD_OVER
    // with DownloadReady; the controller takes it on that message.
    UniqueKernelHandle checkedInstaller;
};

// The heap record the controller hands to DownloadWorker; the worker owns it
// from the moment the thread starts and deletes it.
struct DownloadWorkerRecord {
    HWND window = nullptr;
    std::string url;
    std::string md5;
    std::string sha256;
    std::string etag;
    int64_t lastModified = 0;
    std::string fileName;
    std::shared_ptr<DownloadWorkerControl> control;
    int64_t totalSize = 0;
};

// Thread procedure (for _beginthreadex): runs the job in the download
// directory, then posts WM_DOWNLOAD_PROGRESS 100 (on success) and
// WM_DOWNLOAD_OVER (wParam = DownloadResult) while the window exists.
// Deletes the record; returns 0.
unsigned __stdcall DownloadWorker(void* record);

// The controller's download worker: its thread handle and its control
// block, at most one worker at a time. Neither copied nor moved.
class DownloadWorkerThread {
public:
    DownloadWorkerThread() = default;
    // Asks a worker still running to stop and lets it run on detached.
    ~DownloadWorkerThread();
    DownloadWorkerThread(const DownloadWorkerThread&) = delete;
    DownloadWorkerThread& operator=(const DownloadWorkerThread&) = delete;

    // Starts DownloadWorker for `record` with a fresh control block and holds
    // the thread. False (after logging) while a worker is still held, or when
    // the thread cannot be created; nothing new is held then.
    bool Start(std::unique_ptr<DownloadWorkerRecord> record);

    // True from Start until Wait, also after the worker has ended.
    bool Held() const { return thread_.Valid(); }

    // Asks the held worker to end at its next check.
    void RequestStop();

    // Waits up to `ms` for the held worker, logs a wait that did not end it,
    // then closes the handle and forgets the worker (it may run on detached).
    void Wait(DWORD ms);

    // The checked installer the held worker left behind (empty when none).
    UniqueKernelHandle TakeCheckedInstaller();

private:
    UniqueKernelHandle thread_;
    std::shared_ptr<DownloadWorkerControl> control_;
};

// How long the controller waits for a worker it asked to stop.
constexpr DWORD WorkerStopWaitMs = 3000;

}  // namespace pennant
