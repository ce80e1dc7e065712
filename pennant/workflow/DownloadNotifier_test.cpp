#include "workflow/DownloadNotifier.h"

#include "DownloadJobs.h"
#include "HttpPeers.h"
#include "LogCapture.h"
#include "app/Codes.h"
#include "app/Directories.h"
#include "http/DownloadJob.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

using namespace pennant;
using namespace testing_support;

namespace {

// Runs DownloadWorker in the real download directory against a window on
// this thread, as the controller does.
class Worker : public ::testing::Test {
protected:
    void SetUp() override {
        directory = GetDownloadDirectory();
        ASSERT_FALSE(directory.empty());
        name = std::string("http-test-") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".exe";
        Clean();
        window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 nullptr, nullptr);
        ASSERT_NE(nullptr, window);
    }
    void TearDown() override {
        DestroyWindow(window);
        Clean();
    }
    void Clean() {
        for (const char* suffix : {"", ".part", ".meta"})
            DeleteFileA((directory + "\\" + name + suffix).c_str());
    }
    std::string Path(const char* suffix = "") const { return directory + "\\" + name + suffix; }

    // Starts a worker for `job` and pumps messages until WM_DOWNLOAD_OVER;
    // `onProgress` sees every progress message. The result, or -100 on time-out.
    int RunWorker(const DownloadJob& job, std::function<void(WPARAM)> onProgress = nullptr) {
        auto worker = std::make_unique<DownloadWorkerThread>();
        if (!worker->Start(RecordFor(job))) return -101;
        running = worker.get();
        const int result = PumpUntilOver(onProgress);
        if (running) running->Wait(10000);
        running = nullptr;
        return result;
    }

    std::unique_ptr<DownloadWorkerRecord> RecordFor(const DownloadJob& job) const {
        auto record = std::make_unique<DownloadWorkerRecord>();
        record->window = window;
        record->url = job.url;
        record->md5 = job.md5;
        record->etag = job.etag;
        record->lastModified = job.lastModified;
        record->fileName = name;
        record->totalSize = job.totalSize;
        return record;
    }

    int PumpUntilOver(const std::function<void(WPARAM)>& onProgress) {
        int result = -100;
        const DWORD start = GetTickCount();
        while (result == -100 && GetTickCount() - start < 120000) {
            MSG msg;
            if (!PeekMessageA(&msg, window, 0, 0, PM_REMOVE)) {
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLPOSTMESSAGE);
                continue;
            }
            if (msg.message == WM_DOWNLOAD_PROGRESS) {
                progress.push_back(msg.wParam);
                progressL.push_back(msg.lParam);
                if (onProgress) onProgress(msg.wParam);
            } else if (msg.message == WM_DOWNLOAD_OVER) {
                result = static_cast<int>(msg.wParam);
            }
        }
        return result;
    }

    pennant_test::LogCapture log;
    std::string directory;
    std::string name;
    HWND window = nullptr;
    DownloadWorkerThread* running = nullptr;  // the worker RunWorker holds
    std::vector<WPARAM> progress;
    std::vector<LPARAM> progressL;
};

}  // namespace

TEST_F(Worker, ValidInstallerIsUsedWithoutAnyGet) {
    const std::string content = Pattern(70000);
    WriteFile(NginxFile("setup.exe"), content);
    DownloadJob job = JobFor(NginxUrl("setup.exe"), name, Md5Of(content));
    WriteFile(Path(), content);
    ASSERT_EQ(0, WriteMetaFile(Path(".meta"), job.etag, job.lastModified));
    EXPECT_EQ(DownloadReady, RunWorker(job));
    ASSERT_EQ(1u, progress.size());
    EXPECT_EQ(100u, progress[0]);
    EXPECT_EQ(100, progressL[0]);
    EXPECT_EQ(0u, CountContaining(NginxAccessLines(), "GET "));
    EXPECT_TRUE(log.Contains("file check : PASS"));
}

TEST_F(Worker, CutDownloadIsResumedByTheNextRun) {
    const std::string content = Pattern(5 * 1024 * 1024 + 3);
    WriteFile(FaultFile("setup.exe"), content);
    DownloadJob job = JobFor(FaultUrl("cut=2000000", "setup.exe"), name, Md5Of(content));
    EXPECT_EQ(DownloadConnectionBroken, RunWorker(job));
    const long long partSize = FileSize(Path(".part"));
    ASSERT_GT(partSize, 0);
    EXPECT_EQ(content.substr(0, static_cast<size_t>(partSize)), ReadFile(Path(".part")));

    progress.clear();
    job.url = FaultUrl("-", "setup.exe");
    EXPECT_EQ(DownloadReady, RunWorker(job));
    EXPECT_EQ(content, ReadFile(Path()));
    const auto seen = RecordedRequests("HTTP_FAULT_REQUESTS");
    EXPECT_NE(std::string::npos,
              seen.back().find("\r\nRange: bytes=" + std::to_string(partSize) + "-\r\n"));
    // The first report of the resumed run already carries the whole-file percent.
    ASSERT_GE(progress.size(), 2u);
    EXPECT_GE(static_cast<long long>(progress[0]), partSize * 100 / static_cast<long long>(content.size()));
    for (size_t i = 1; i < progress.size(); ++i) EXPECT_LE(progress[i - 1], progress[i]);
    EXPECT_EQ(100u, progress.back());
}

TEST_F(Worker, ProgressPostsAtMostOncePerPercentAndNeverDecrease) {
    const std::string content = Pattern(3 * 1024 * 1024);
    WriteFile(NginxFile("setup.exe"), content);
    DownloadJob job = JobFor(NginxUrl("setup.exe"), name, Md5Of(content));
    EXPECT_EQ(DownloadReady, RunWorker(job));
    ASSERT_GE(progress.size(), 2u);
    // The last post is the worker's own 100 after the job.
    for (size_t i = 1; i + 1 < progress.size(); ++i) EXPECT_LT(progress[i - 1], progress[i]);
    EXPECT_LE(progress.size(), 101u);
    EXPECT_EQ(100u, progress[progress.size() - 2]);
    EXPECT_EQ(100u, progress.back());
}

TEST_F(Worker, PauseDuringASlowDownloadKeepsEveryReceivedByte) {
    // About half a second per 163840-byte chunk; the pause comes with the
    // first report, so at most one more chunk arrives before the stop.
    const std::string content = Pattern(1500000);
    WriteFile(FaultFile("slow.exe"), content);
    DownloadJob job = JobFor(FaultUrl("rate=300000", "slow.exe"), name, Md5Of(content));
    EXPECT_EQ(DownloadPaused, RunWorker(job, [&](WPARAM) { running->RequestStop(); }));
    EXPECT_TRUE(log.Contains("user pause download"));
    const long long partSize = FileSize(Path(".part"));
    ASSERT_GT(partSize, 0);
    ASSERT_LT(partSize, static_cast<long long>(content.size()));
    EXPECT_EQ(content.substr(0, static_cast<size_t>(partSize)), ReadFile(Path(".part")));
    // The last chunk the worker counted is the last one on disk.
    const std::string text = log.Text();
    const size_t lastGet = text.rfind("http get ");
    ASSERT_NE(std::string::npos, lastGet);
    EXPECT_EQ(std::to_string(partSize) + " / 1500000",
              text.substr(lastGet + 9, std::to_string(partSize).size() + 10));

    job.url = FaultUrl("-", "slow.exe");
    EXPECT_EQ(DownloadReady, RunWorker(job));
    EXPECT_EQ(content, ReadFile(Path()));
}

TEST_F(Worker, AWorkerLetGoByItsOwnerStopsOnItsOwnFlag) {
    // The controller's state is gone with the window; the worker keeps its
    // control block, sees the stop its owner left and ends at the next chunk.
    const std::string content = Pattern(1500000);
    WriteFile(FaultFile("slow.exe"), content);
    DownloadJob job = JobFor(FaultUrl("rate=300000", "slow.exe"), name, Md5Of(content));
    auto worker = std::make_unique<DownloadWorkerThread>();
    ASSERT_TRUE(worker->Start(RecordFor(job)));
    EXPECT_EQ(DownloadPaused, PumpUntilOver([&](WPARAM) { worker.reset(); }));
    EXPECT_LT(FileSize(Path(".part")), static_cast<long long>(content.size()));
}

TEST(NotifyByMessage, PostsPercentAndReadsTheStopFlag) {
    HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    DownloadWorkerControl control;
    HttpDownloadNotifyByMessage notify(window, &control.stop);
    notify.OnProgress(5368709120LL / 3, 5368709120LL);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, window, WM_DOWNLOAD_PROGRESS, WM_DOWNLOAD_PROGRESS, PM_REMOVE));
    EXPECT_EQ(33u, msg.wParam);
    EXPECT_EQ(0, msg.lParam);
    EXPECT_FALSE(notify.IsCancelled());
    control.stop = true;
    EXPECT_TRUE(notify.IsCancelled());
    DestroyWindow(window);
}
