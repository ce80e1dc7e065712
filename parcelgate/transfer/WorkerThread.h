// The base of every transfer worker: a thread with its own HTTP session,
// token, URL and event sink.
//
// Workers are not COM objects. Each one pins the module that holds this code
// while its thread runs, so the DLL is never unloaded under a running worker,
// and counts itself in RunningWorkers() for DllCanUnloadNow.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "http/HttpSession.h"
#include "transfer/ProgressSink.h"
#include "base/UniqueHandle.h"
#include "base/Utils.h"

namespace pcg {

// Worker threads started and not yet ended.
long RunningWorkers() noexcept;

// Thrown inside a worker when an event call answers a failure HRESULT.
class EventError : public TransferError {
public:
    explicit EventError(HRESULT code);
    HRESULT Code() const { return code_; }

private:
    HRESULT code_;
};

// Base of every transfer worker. The thread is made by Start(), once the
// object is complete; by default the worker deletes itself when its run ends.
class WorkerThread {
public:
    // Creates the session with the process-wide proxy applied; the token also
    // becomes the session's cookie list (one entry per line of the token).
    WorkerThread(const std::string& token, std::shared_ptr<ProgressSink> sink, const std::string& url);
    // Cancels the session's transfer, frees the session, lets go of the sink.
    virtual ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Starts the thread: Create(), then Resume().
    void Start();

    // Makes the thread, suspended. Throws TransferError when it cannot; the
    // caller still owns the object.
    void Create();
    // Lets a created thread run. From then on a self-deleting worker belongs
    // to its thread: the caller must not touch it again.
    void Resume();
    // Lets a created thread end at once without running the worker, and
    // waits for it: for a thread that must not run after all.
    void Abandon();

    // Whether the worker deletes itself when its run ends (default true).
    // Set before Start().
    void SetFreeOnTerminate(bool value) { freeOnTerminate_ = value; }

    // Asks the run to stop at its next check (Terminated()).
    void Terminate() { terminated_ = true; }

    // Waits until the thread's run has ended (not for self-deleting workers).
    void WaitFor();

    // Raises the session's stop flag: the request in progress fails at its
    // next socket step. May be called from another thread.
    void CancelTransfer() noexcept;

protected:
    // The worker's run; exceptions leaving it are swallowed.
    virtual void Execute() = 0;

    bool Terminated() const { return terminated_; }
    HttpSession& Session() { return *session_; }
    const std::string& Token() const { return token_; }
    const std::string& Url() const { return url_; }
    bool HasSink() const { return sink_ != nullptr; }

    // Events, each skipped without an event sink. A failing HRESULT of the
    // call throws EventError. RaiseProgress returns what the client put
    // into Value (S_OK unless it wrote something, E_ABORT to stop).
    void RaiseBegin();
    void RaiseFinish();
    // OnFail carries a code only: the reason goes to the debugger's output,
    // the given one or else the session's last error.
    void RaiseFail(long code, const std::string& reason = std::string());
    HRESULT RaiseProgress(uint64_t position, uint64_t maximum);

private:
    static DWORD WINAPI ThreadMain(void* parameter);
    void Run() noexcept;

    std::unique_ptr<HttpSession> session_;
    std::string token_;
    std::string url_;
    std::shared_ptr<ProgressSink> sink_;
    UniqueHandle thread_;
    bool freeOnTerminate_ = true;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> abandoned_{false};
};

// A worker that transfers between the URL and a local file.
class FileWorker : public WorkerThread {
public:
    FileWorker(const std::string& token, std::shared_ptr<ProgressSink> sink, const std::string& url,
               const std::string& fileName)
        : WorkerThread(token, std::move(sink), url), fileName_(fileName) {}

protected:
    const std::string& FileName() const { return fileName_; }

private:
    std::string fileName_;
};

}  // namespace pcg
