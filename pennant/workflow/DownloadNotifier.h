// The download worker thread and its notifier: progress turned into window
// messages for the main window, the user's pause read from the workflow.
#pragma once

#include "http/HttpTasks.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace pennant {

// Turns progress into WM_DOWNLOAD_PROGRESS for the main window and reads the
// window state's pause flag to learn that the user paused.
class HttpDownloadNotifyByMessage : public HttpLoadNotify {
public:
    HttpDownloadNotifyByMessage(HWND window, const std::atomic<bool>* paused)
        : window(window), paused(paused) {}
    void OnProgress(int64_t done, int64_t total) override;
    bool IsCancelled() override;

private:
    HWND window;
    const std::atomic<bool>* paused;
};

// The heap record the controller hands to DownloadWorker; the worker owns it
// from the moment the thread starts and deletes it.
struct DownloadWorkerRecord {
    HWND window = nullptr;
    std::string url;
    std::string md5;
    std::string etag;
    int64_t lastModified = 0;
    std::string fileName;
    const std::atomic<bool>* paused = nullptr;  // read as the cancel test
    int64_t totalSize = 0;
};

// Thread procedure (for _beginthreadex): runs the job in the download
// directory, then posts WM_DOWNLOAD_PROGRESS 100 (on success) and
// WM_DOWNLOAD_OVER (wParam = DownloadResult) while the window exists.
// Deletes the record; returns 0.
unsigned __stdcall DownloadWorker(void* record);

// Starts DownloadWorker on its own thread; the record passes to the thread
// when it starts (it is deleted here when the thread cannot be created).
// The thread handle, or null after logging the failure.
HANDLE StartDownloadWorker(DownloadWorkerRecord* record);

}  // namespace pennant
