// The transfer workers: the common worker thread with its HTTP session,
// token, URL and event sink, and the download worker. The upload workers
// (form upload with its progress monitor, chunked big-file upload) live here
// too.
//
// Workers are not COM objects. Each one pins the module that holds this code
// while its thread runs, so the DLL is never unloaded under a running worker,
// and counts itself in RunningWorkers() for DllCanUnloadNow.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "PCGHTTPSend.h"
#include "PCGUtils.h"
#include "Parcelgate_h.h"

namespace pcg {

// Owner of one kernel handle (thread, file), closed in its destructor.
class TPCGHandle {
public:
    TPCGHandle() = default;
    explicit TPCGHandle(HANDLE handle) : handle_(handle) {}
    ~TPCGHandle() { Reset(); }
    TPCGHandle(const TPCGHandle&) = delete;
    TPCGHandle& operator=(const TPCGHandle&) = delete;

    bool Valid() const { return handle_ && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }
    void Reset(HANDLE handle = nullptr) {
        if (Valid()) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

// Worker threads started and not yet ended.
long RunningWorkers() noexcept;

// Thrown inside a worker when an event call answers a failure HRESULT.
class EPCGEventError : public EPCGError {
public:
    explicit EPCGEventError(HRESULT code);
    HRESULT Code() const { return code_; }

private:
    HRESULT code_;
};

// Base of every transfer worker. The thread is made by Start(), once the
// object is complete; by default the worker deletes itself when its run ends.
class TPCGThread {
public:
    // Creates the session with the process-wide proxy applied; the token also
    // becomes the session's cookie list (one entry per line of the token).
    TPCGThread(const std::string& token, INetFileProgress* sink, const std::string& url);
    // Cancels the session's transfer, frees the session, releases the sink.
    virtual ~TPCGThread();
    TPCGThread(const TPCGThread&) = delete;
    TPCGThread& operator=(const TPCGThread&) = delete;

    // Starts the thread. Throws EPCGError when it cannot; the caller then
    // still owns the object. Once started, a self-deleting worker belongs to
    // its thread: the caller must not touch it again.
    void Start();

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
    TPCGHTTPSend& Session() { return *session_; }
    const std::string& Token() const { return token_; }
    const std::string& Url() const { return url_; }
    bool HasSink() const { return sink_ != nullptr; }

    // Events, each skipped without an event sink. A failing HRESULT of the
    // call throws EPCGEventError. RaiseProgress returns what the client put
    // into Value (S_OK unless it wrote something, E_ABORT to stop).
    void RaiseBegin();
    void RaiseFinish();
    void RaiseFail(long code);
    HRESULT RaiseProgress(uint64_t position, uint64_t maximum);

private:
    static DWORD WINAPI ThreadMain(void* parameter);
    void Run() noexcept;

    std::unique_ptr<TPCGHTTPSend> session_;
    std::string token_;
    std::string url_;
    Microsoft::WRL::ComPtr<INetFileProgress> sink_;
    TPCGHandle thread_;
    bool freeOnTerminate_ = true;
    std::atomic<bool> terminated_{false};
};

// A worker that transfers between the URL and a local file.
class TPCGTransThread : public TPCGThread {
public:
    TPCGTransThread(const std::string& token, INetFileProgress* sink, const std::string& url,
                    const std::string& fileName)
        : TPCGThread(token, sink, url), fileName_(fileName) {}

protected:
    const std::string& FileName() const { return fileName_; }

private:
    std::string fileName_;
};

// One GET of the URL; the whole body, whatever the status code, replaces the
// local file. Events: OnBegin, then OnFinish or OnFail(0).
class TPCGDownLoadThread : public TPCGTransThread {
public:
    using TPCGTransThread::TPCGTransThread;

protected:
    void Execute() override;
};

// ---- Upload workers -------------------------------------------------------

// Starts the form upload of a small file (or of a name that is no file).
class TPCGUpload {
public:
    TPCGUpload(const std::string& token, const std::string& fileName, const std::string& url,
               INetFileProgress* sink);
    TPCGUpload(const TPCGUpload&) = delete;
    TPCGUpload& operator=(const TPCGUpload&) = delete;

    // Starts the upload's threads, which then run by themselves.
    void Start();

private:
    std::string token_;
    std::string fileName_;
    std::string url_;
    Microsoft::WRL::ComPtr<INetFileProgress> sink_;
};

// Uploads a big file in chunks. Opens the file when created; throws
// EPCGError when it cannot.
class TPCGBigFileUploadThread : public TPCGThread {
public:
    TPCGBigFileUploadThread(bool forceReUpload, int64_t sessionId, const std::string& fileName,
                            const std::string& url, INetFileProgress* sink, const std::string& token);
protected:
    void Execute() override;

private:
    bool forceReUpload_;
    int64_t sessionId_;
    std::string fileName_;
    TPCGHandle file_;  // read stream; others may read and write
    int64_t fileSize_ = 0;
};

}  // namespace pcg
