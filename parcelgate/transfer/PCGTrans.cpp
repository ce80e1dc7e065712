#include "PCGTrans.h"

#include <cstdio>

#include "PCGFileUtils.h"
#include "PCGProxy.h"

namespace pcg {
namespace {

std::atomic<long> runningWorkers{0};

// The module holding this code, with its load count raised, so it stays
// loaded while a worker's thread runs; nullptr for the executable itself,
// which is never unloaded.
HMODULE PinModule() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&PinModule), &module))
        return nullptr;
    if (module == GetModuleHandleW(nullptr)) {
        FreeLibrary(module);
        return nullptr;
    }
    return module;
}

std::string EventErrorText(HRESULT code) {
    char text[64];
    std::snprintf(text, sizeof text, "Event call failed, HRESULT 0x%08lX", static_cast<unsigned long>(code));
    return text;
}

void CheckEvent(HRESULT code) {
    if (FAILED(code)) throw EPCGEventError(code);
}

// What a starting thread receives: the worker and the pin it must drop.
struct ThreadStart {
    TPCGThread* worker;
    HMODULE pin;
};

}  // namespace

long RunningWorkers() noexcept { return runningWorkers.load(); }

EPCGEventError::EPCGEventError(HRESULT code) : EPCGError(EventErrorText(code)), code_(code) {}

TPCGThread::TPCGThread(const std::string& token, INetFileProgress* sink, const std::string& url)
    : session_(std::make_unique<TPCGHTTPSend>()), token_(token), url_(url), sink_(sink) {
    TPCGProxy::ApplyProxy(session_.get());
    session_->SetCookieText(token_);
}

TPCGThread::~TPCGThread() {
    CancelTransfer();
    session_.reset();
    sink_.Reset();
}

void TPCGThread::Start() {
    if (thread_.Valid()) throw EPCGError("Worker already started");
    auto start = std::make_unique<ThreadStart>(ThreadStart{this, PinModule()});
    ++runningWorkers;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, &TPCGThread::ThreadMain, start.get(), CREATE_SUSPENDED, &id);
    if (!thread) {
        --runningWorkers;
        if (start->pin) FreeLibrary(start->pin);
        throw EPCGError("Cannot create a worker thread");
    }
    thread_.Reset(thread);
    start.release();  // the thread owns it now
    // From here on a self-deleting worker may be gone at any moment.
    ResumeThread(thread);
}

void TPCGThread::WaitFor() {
    if (thread_.Valid()) WaitForSingleObject(thread_.Get(), INFINITE);
}

void TPCGThread::CancelTransfer() noexcept {
    if (session_) session_->CancelTransfer();
}

DWORD WINAPI TPCGThread::ThreadMain(void* parameter) {
    HMODULE pin = nullptr;
    {
        std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
        pin = start->pin;
        start->worker->Run();
    }
    --runningWorkers;
    // Nothing of this module runs after the pin is dropped.
    if (pin) FreeLibraryAndExitThread(pin, 0);
    return 0;
}

void TPCGThread::Run() noexcept {
    try {
        Execute();
    } catch (...) {
        // Each worker handles the errors its run expects; the rest end it.
    }
    if (freeOnTerminate_) delete this;
}

void TPCGThread::RaiseBegin() {
    if (!sink_) return;
    HRESULT value = S_OK;
    CheckEvent(sink_->OnBegin(&value));
}

void TPCGThread::RaiseFinish() {
    if (!sink_) return;
    HRESULT value = S_OK;
    CheckEvent(sink_->OnFinish(&value));
}

void TPCGThread::RaiseFail(long code) {
    if (!sink_) return;
    HRESULT value = S_OK;
    CheckEvent(sink_->OnFail(code, &value));
}

HRESULT TPCGThread::RaiseProgress(uint64_t position, uint64_t maximum) {
    if (!sink_) return S_OK;
    HRESULT value = S_OK;
    CheckEvent(sink_->OnProgress(position, maximum, nfaNone, &value));
    return value;
}

void TPCGDownLoadThread::Execute() {
    RaiseBegin();
    if (!Session().SendRequest("GET", Url())) {
        RaiseFail(0);
        return;
    }
    try {
        const std::string body = Session().Document().Take();
        if (!FileExists(FileName())) CreateEmptyFile(FileName());
        WriteStringToFile(FileName(), body);
    } catch (const std::exception&) {
        RaiseFail(0);
        return;
    }
    RaiseFinish();
}

// ---- Upload workers -------------------------------------------------------
// Placeholders until the upload workers land: they keep the argument checks
// and the choice of path of Upload honest by failing every upload through
// OnFail(0) on a worker thread.

namespace {

class TPCGUploadNotYet : public TPCGThread {
public:
    using TPCGThread::TPCGThread;

protected:
    void Execute() override { RaiseFail(0); }
};

}  // namespace

TPCGUpload::TPCGUpload(const std::string& token, const std::string& fileName, const std::string& url,
                       INetFileProgress* sink)
    : token_(token), fileName_(fileName), url_(url), sink_(sink) {}

void TPCGUpload::Start() {
    // Like the form upload, a name that is no file ends without any event.
    if (!FileExists(fileName_)) return;
    auto worker = std::make_unique<TPCGUploadNotYet>(token_, sink_.Get(), url_);
    worker->Start();
    worker.release();
}

TPCGBigFileUploadThread::TPCGBigFileUploadThread(bool forceReUpload, int64_t sessionId, const std::string& fileName,
                                                 const std::string& url, INetFileProgress* sink,
                                                 const std::string& token)
    : TPCGThread(token, sink, url), forceReUpload_(forceReUpload), sessionId_(sessionId), fileName_(fileName) {
    file_.Reset(CreateFileA(fileName_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_.Valid()) throw EPCGError("Cannot open file " + fileName_);
    LARGE_INTEGER size;
    if (GetFileSizeEx(file_.Get(), &size)) fileSize_ = size.QuadPart;
}

void TPCGBigFileUploadThread::Execute() { RaiseFail(0); }

}  // namespace pcg
