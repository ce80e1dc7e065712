// pgxfer: a console client of Parcelgate.dll, created through COM as any
// automation client creates it (the server must be registered: regsvr32).
//
//   pgxfer [--token T] [--proxy HOST:PORT [--proxy-user USER:PASSWORD]] download URL FILE
//   pgxfer [--token T] [--proxy ...] upload FILE URL [--force]
//
// Shows a live progress line (bytes, percent, rate) for uploads; Ctrl+C
// stops an upload by answering E_ABORT to its next OnProgress. Exit code: 0
// after OnFinish, 10 + the OnFail code after OnFail, 2 for a bad command
// line, 3 when the server cannot be created or refuses the call, 4 when
// DownLoad or Upload did not start (the URL is no "http://" URL).
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Parcelgate_h.h"

namespace {

std::atomic<bool> stopRequested{false};

constexpr int kBits = sizeof(void*) == 8 ? 64 : 32;

std::wstring Wide(const char* text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 1), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], n);
    wide.resize(wcslen(wide.c_str()));
    return wide;
}

// Owner of one BSTR.
class Bstr {
public:
    explicit Bstr(const std::wstring& text) : text_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    explicit Bstr(const char* text) : Bstr(Wide(text)) {}
    ~Bstr() { SysFreeString(text_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR Get() const { return text_; }

private:
    BSTR text_;
};

// Owner of one COM reference.
template <class Interface>
class Ref {
public:
    Ref() = default;
    ~Ref() {
        if (pointer_) pointer_->Release();
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Interface* operator->() const { return pointer_; }
    Interface* Get() const { return pointer_; }
    Interface** Receive() { return &pointer_; }

private:
    Interface* pointer_ = nullptr;
};

// The client's callback: prints progress, answers E_ABORT once Ctrl+C was
// pressed, and signals the transfer's last event. Called on the server's
// worker threads.
class Progress : public INetFileProgress {
public:
    Progress() : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), started_(GetTickCount64()) {}
    virtual ~Progress() { CloseHandle(done_); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_INetFileProgress) {
            *object = static_cast<INetFileProgress*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    STDMETHODIMP OnBegin(HRESULT*) override {
        started_ = GetTickCount64();
        return S_OK;
    }
    STDMETHODIMP OnProgress(UINT64 position, UINT64 maximum, TNetFileAction, HRESULT* value) override {
        const double seconds = (GetTickCount64() - started_) / 1000.0;
        const double percent = maximum ? 100.0 * static_cast<double>(position) / static_cast<double>(maximum) : 0.0;
        std::printf("\r%llu / %llu bytes  %5.1f %%  %8.1f MB/s ", static_cast<unsigned long long>(position),
                    static_cast<unsigned long long>(maximum), percent,
                    seconds > 0 ? static_cast<double>(position) / 1e6 / seconds : 0.0);
        std::fflush(stdout);
        if (stopRequested && value) *value = E_ABORT;
        return S_OK;
    }
    STDMETHODIMP OnFinish(HRESULT*) override { return End(0); }
    STDMETHODIMP OnFail(LONG code, HRESULT*) override { return End(10 + code); }

    HANDLE Done() const { return done_; }
    int ExitCode() const { return exitCode_; }
    double Seconds() const { return (ended_ - started_) / 1000.0; }
    ULONG References() const { return references_; }

private:
    HRESULT End(int exitCode) {
        // The first last event counts: a form upload's monitor may still
        // report after the upload itself has ended.
        if (WaitForSingleObject(done_, 0) != WAIT_OBJECT_0) {
            exitCode_ = exitCode;
            ended_ = GetTickCount64();
            SetEvent(done_);
        }
        return S_OK;
    }

    std::atomic<ULONG> references_{1};
    HANDLE done_;
    std::atomic<ULONGLONG> started_;
    std::atomic<ULONGLONG> ended_{0};
    std::atomic<int> exitCode_{1};
};

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    stopRequested = true;
    std::fprintf(stderr, "\nstopping at the next progress report\n");
    return TRUE;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: pgxfer [--token T] [--proxy HOST:PORT [--proxy-user USER:PASSWORD]] download URL FILE\n"
                 "       pgxfer [--token T] [--proxy ...] upload FILE URL [--force]\n");
    return 2;
}

std::string Before(const std::string& text, char separator) { return text.substr(0, text.find(separator)); }
std::string After(const std::string& text, char separator) {
    const size_t at = text.find(separator);
    return at == std::string::npos ? std::string() : text.substr(at + 1);
}

long long FileSize(const std::wstring& name) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

int Run(const std::vector<std::string>& args) {
    std::string token, proxy, proxyUser, command;
    std::vector<std::string> operands;
    bool force = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if ((arg == "--token" || arg == "--proxy" || arg == "--proxy-user") && i + 1 < args.size()) {
            (arg == "--token" ? token : arg == "--proxy" ? proxy : proxyUser) = args[++i];
        } else if (arg == "--force") {
            force = true;
        } else if (command.empty()) {
            command = arg;
        } else {
            operands.push_back(arg);
        }
    }
    if ((command != "download" && command != "upload") || operands.size() != 2) return Usage();

    Ref<INetFileEngine> engine;
    HRESULT hr = CoCreateInstance(CLSID_NetFileEngine, nullptr, CLSCTX_INPROC_SERVER, IID_INetFileEngine,
                                  reinterpret_cast<void**>(engine.Receive()));
    if (hr == REGDB_E_CLASSNOTREG) {
        // On 64-bit Windows each kind of process sees only the servers
        // registered by the regsvr32 of its own kind.
        std::fprintf(stderr,
                     "pgxfer: Parcelgate.dll is not registered for %d-bit clients (0x%08lX); register the %d-bit "
                     "Parcelgate.dll with the %d-bit regsvr32%s\n",
                     kBits, static_cast<unsigned long>(hr), kBits, kBits,
                     kBits == 32 ? " (C:\\Windows\\SysWOW64\\regsvr32.exe on 64-bit Windows)" : "");
        return 3;
    }
    if (FAILED(hr)) {
        std::fprintf(stderr, "pgxfer: cannot create NetFileEngine (0x%08lX)\n", static_cast<unsigned long>(hr));
        return 3;
    }
    if (!proxy.empty()) {
        VARIANT_BOOL loaded = VARIANT_FALSE;
        Bstr host(Before(proxy, ':').c_str()), port(After(proxy, ':').c_str());
        Bstr user(Before(proxyUser, ':').c_str()), password(After(proxyUser, ':').c_str());
        engine->LoadProxyInfo(host.Get(), port.Get(), user.Get(), password.Get(), &loaded);
    }
    // The token goes into the JSON text as it is: keep it to plain characters.
    Ref<INetFileTrans> trans;
    hr = engine->CreateNetFileTrans(Bstr(("{\"access_token\":\"" + token + "\"}").c_str()).Get(), trans.Receive());
    if (FAILED(hr)) {
        std::fprintf(stderr, "pgxfer: CreateNetFileTrans failed (0x%08lX)\n", static_cast<unsigned long>(hr));
        return 3;
    }
    Progress* progress = new Progress();
    trans->put_Progress(progress);

    VARIANT_BOOL started = VARIANT_FALSE;
    const bool upload = command == "upload";
    const std::wstring file = Wide((upload ? operands[0] : operands[1]).c_str());
    const std::string& url = upload ? operands[1] : operands[0];
    if (upload) {
        SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
        hr = trans->Upload(Bstr(file).Get(), Bstr(url.c_str()).Get(), force ? VARIANT_TRUE : VARIANT_FALSE, &started);
    } else {
        hr = trans->DownLoad(Bstr(url.c_str()).Get(), Bstr(file).Get(), &started);
    }
    trans->put_Progress(nullptr);
    int exitCode = 4;
    if (FAILED(hr)) {
        std::fprintf(stderr, "pgxfer: %s failed (0x%08lX)\n", command.c_str(), static_cast<unsigned long>(hr));
        exitCode = 3;
    } else if (started != VARIANT_TRUE) {
        std::fprintf(stderr, "pgxfer: %s did not start (not an http:// URL)\n", command.c_str());
    } else {
        WaitForSingleObject(progress->Done(), INFINITE);
        exitCode = progress->ExitCode();
        const long long bytes = FileSize(file);
        const double seconds = progress->Seconds();
        std::printf("\n%s: %s, %lld bytes in %.2f s, %.1f MB/s\n", command.c_str(),
                    exitCode == 0 ? "finished" : "failed", bytes, seconds,
                    seconds > 0 && bytes > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0);
        if (exitCode != 0) std::printf("OnFail(%d)\n", exitCode - 10);
        PROCESS_MEMORY_COUNTERS memory = {};
        memory.cb = sizeof memory;
        if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
            std::printf("peak working set: %.1f MiB\n", static_cast<double>(memory.PeakWorkingSetSize) / 1048576.0);
        // Let the server's threads let go of the callback before leaving.
        for (int waited = 0; progress->References() > 1 && waited < 10000; waited += 20) Sleep(20);
    }
    progress->Release();
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    // A single-threaded apartment, as the server's clients have: the server
    // then calls the callback directly on its worker threads.
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 3;
    int code = Run(std::vector<std::string>(argv + 1, argv + argc));
    CoUninitialize();
    return code;
}
