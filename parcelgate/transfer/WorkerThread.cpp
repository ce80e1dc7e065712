#include "transfer/WorkerThread.h"

#include <cstdio>

#include "http/ProxySettings.h"

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
    if (FAILED(code)) throw EventError(code);
}

// What a starting thread receives: the worker and the pin it must drop.
struct ThreadStart {
    WorkerThread* worker;
    HMODULE pin;
};

}  // namespace

long RunningWorkers() noexcept { return runningWorkers.load(); }

EventError::EventError(HRESULT code) : TransferError(EventErrorText(code)), code_(code) {}

WorkerThread::WorkerThread(const std::string& token, std::shared_ptr<ProgressSink> sink, const std::string& url)
    : session_(std::make_unique<HttpSession>()), token_(token), url_(url), sink_(std::move(sink)) {
    ProxySettings::ApplyProxy(session_.get());
    session_->SetCookieText(token_);
}

WorkerThread::~WorkerThread() {
    CancelTransfer();
    session_.reset();
    sink_.reset();
}

void WorkerThread::Start() {
    Create();
    Resume();
}

void WorkerThread::Create() {
    if (thread_.Valid()) throw TransferError("Worker already started");
    auto start = std::make_unique<ThreadStart>(ThreadStart{this, PinModule()});
    ++runningWorkers;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, &WorkerThread::ThreadMain, start.get(), CREATE_SUSPENDED, &id);
    if (!thread) {
        --runningWorkers;
        if (start->pin) FreeLibrary(start->pin);
        throw TransferError("Cannot create a worker thread");
    }
    thread_.Reset(thread);
    start.release();  // the thread owns it now
}

void WorkerThread::Resume() {
    // From here on a self-deleting worker may be gone at any moment.
    ResumeThread(thread_.Get());
}

void WorkerThread::Abandon() {
    abandoned_ = true;
    const bool wait = !freeOnTerminate_;
    HANDLE thread = thread_.Get();
    ResumeThread(thread);
    if (wait) WaitForSingleObject(thread, INFINITE);
}

void WorkerThread::WaitFor() {
    if (thread_.Valid()) WaitForSingleObject(thread_.Get(), INFINITE);
}

void WorkerThread::CancelTransfer() noexcept {
    if (session_) session_->CancelTransfer();
}

DWORD WINAPI WorkerThread::ThreadMain(void* parameter) {
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

void WorkerThread::Run() noexcept {
    try {
        if (!abandoned_) Execute();
    } catch (...) {
        // Each worker handles the errors its run expects; the rest end it.
    }
    if (freeOnTerminate_) delete this;
}

void WorkerThread::RaiseBegin() {
    if (sink_) CheckEvent(sink_->OnBegin());
}

void WorkerThread::RaiseFinish() {
    if (sink_) CheckEvent(sink_->OnFinish());
}

void WorkerThread::RaiseFail(long code, const std::string& reason) {
    // Never the URL in the reason: it holds the access token.
    std::string text = reason;
    if (text.empty() && session_ && session_->LastError() != HttpError::None)
        text = std::string(HttpErrorName(session_->LastError())) +
               (session_->LastErrorText().empty() ? "" : ": " + session_->LastErrorText());
    if (!text.empty()) OutputDebugStringA(("Parcelgate: request failed: " + text + "\n").c_str());
    if (sink_) CheckEvent(sink_->OnFail(code));
}

HRESULT WorkerThread::RaiseProgress(uint64_t position, uint64_t maximum) {
    if (!sink_) return S_OK;
    HRESULT value = S_OK;
    CheckEvent(sink_->OnProgress(position, maximum, &value));
    return value;
}

}  // namespace pcg
