// pgxfer: a console client of Parcelgate.dll, created through COM as any
// automation client creates it (the server must be registered: regsvr32).
//
//   pgxfer [--token T] [--proxy HOST:PORT [--proxy-user USER:PASSWORD]] download URL FILE
//   pgxfer [--token T] [--proxy ...] upload FILE URL [--force]
//
// Shows a live progress line (bytes, percent, rate of this run) for uploads;
// Ctrl+C stops an upload by answering E_ABORT to its next OnProgress, a
// second Ctrl+C ends pgxfer at once. Exit codes: see Usage().
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

// Files up to this size go up as one form, larger ones in chunks.
constexpr long long kFormLimit = 10240;

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
    // fileSize: of the file to upload (its bytes decide how far a resumed
    // upload had come), 0 for a download.
    explicit Progress(long long fileSize)
        : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), fileSize_(fileSize), started_(Microseconds()) {}
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
        started_ = Microseconds();
        return S_OK;
    }
    STDMETHODIMP OnProgress(UINT64 position, UINT64 maximum, TNetFileAction, HRESULT* value) override {
        const long long at = static_cast<long long>(position);
        if (!reported_.exchange(true)) base_ = at - FirstChunk(at);
        last_ = at;
        const double seconds = static_cast<double>(Microseconds() - started_) / 1e6;
        const double percent = maximum ? 100.0 * static_cast<double>(position) / static_cast<double>(maximum) : 0.0;
        std::printf("\r%llu / %llu bytes  %5.1f %%  %8.1f MB/s ", static_cast<unsigned long long>(position),
                    static_cast<unsigned long long>(maximum), percent,
                    seconds > 0 ? static_cast<double>(at - base_) / 1e6 / seconds : 0.0);
        std::fflush(stdout);
        if (stopRequested && value) *value = E_ABORT;
        return S_OK;
    }
    STDMETHODIMP OnFinish(HRESULT*) override { return End(0); }
    STDMETHODIMP OnFail(LONG code, HRESULT*) override { return End(10 + code); }

    HANDLE Done() const { return done_; }
    int ExitCode() const { return exitCode_; }
    double Seconds() const { return static_cast<double>(ended_ - started_) / 1e6; }
    ULONG References() const { return references_; }
    // Bytes this run of an upload sent and had acknowledged: a resumed
    // upload counts from where it resumed.
    long long Sent() const { return (exitCode_ == 0 ? fileSize_ : last_.load()) - base_; }
    // Bytes acknowledged before this run (0 unless it resumed).
    long long Resumed() const { return base_; }

private:
    // The size of the first chunk a run reports: the server cuts a file of
    // more than the form limit into N chunks of size div N bytes (N from 100
    // down while size mod N is 1) and the rest, and a run goes on from a
    // chunk's start. A form's progress counts from 0.
    long long FirstChunk(long long position) const {
        if (fileSize_ <= kFormLimit) return position;
        long long parts = 100;
        while (parts > 1 && fileSize_ % parts == 1) --parts;
        const long long chunk = fileSize_ / parts, rest = fileSize_ % chunk;
        return position == fileSize_ && rest != 0 ? rest : chunk;
    }

    // The tick count's 10 to 16 ms steps are several per cent of a transfer
    // that takes half a second; the performance counter never fails from XP on.
    static long long Microseconds() {
        LARGE_INTEGER counter, frequency;
        QueryPerformanceCounter(&counter);
        QueryPerformanceFrequency(&frequency);
        return static_cast<long long>(static_cast<double>(counter.QuadPart) * 1e6 /
                                      static_cast<double>(frequency.QuadPart));
    }

    HRESULT End(int exitCode) {
        // The first last event counts: a form upload's monitor may still
        // report after the upload itself has ended.
        if (WaitForSingleObject(done_, 0) != WAIT_OBJECT_0) {
            exitCode_ = exitCode;
            ended_ = Microseconds();
            SetEvent(done_);
        }
        return S_OK;
    }

    std::atomic<ULONG> references_{1};
    HANDLE done_;
    const long long fileSize_;
    std::atomic<bool> reported_{false};
    std::atomic<long long> base_{0};
    std::atomic<long long> last_{0};
    std::atomic<long long> started_;
    std::atomic<long long> ended_{0};
    std::atomic<int> exitCode_{1};
};

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    if (stopRequested.exchange(true)) {
        // A server that never reports again must not hold the user: the
        // record of an upload stays as the last acknowledged chunk left it.
        std::fprintf(stderr, "\nstopped\n");
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 13);
    }
    std::fprintf(stderr, "\nstopping at the next progress report (Ctrl+C again ends at once)\n");
    return TRUE;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: pgxfer [--token T] [--proxy HOST:PORT [--proxy-user USER:PASSWORD]] download URL FILE\n"
                 "       pgxfer [--token T] [--proxy ...] upload FILE URL [--force]\n"
                 "exit codes: 0 finished; 10 request or server failure; 11 file gone; 12 empty file;\n"
                 "            13 stopped; 2 bad command line; 3 server cannot be created or refused the call;\n"
                 "            4 no http:// or https:// URL; 5 the server ended the transfer without a last event\n");
    return 2;
}

// The call's HRESULT and the text of the error object it left, if any.
int Failed(const char* what, HRESULT hr) {
    std::string text;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        BSTR description = nullptr;
        if (SUCCEEDED(info->GetDescription(&description)) && description) {
            const UINT page = GetConsoleOutputCP() ? GetConsoleOutputCP() : CP_ACP;
            const int n = WideCharToMultiByte(page, 0, description, -1, nullptr, 0, nullptr, nullptr);
            if (n > 1) {
                text.assign(static_cast<size_t>(n), '\0');
                WideCharToMultiByte(page, 0, description, -1, &text[0], n, nullptr, nullptr);
                text.resize(static_cast<size_t>(n - 1));
                text = ": " + text;
            }
        }
        SysFreeString(description);
        info->Release();
    }
    std::fprintf(stderr, "pgxfer: %s failed (0x%08lX)%s\n", what, static_cast<unsigned long>(hr), text.c_str());
    return 3;
}

// The text as a JSON string, quotes included.
std::string JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", c);
            quoted += escape;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

std::string Before(const std::string& text, char separator) { return text.substr(0, text.find(separator)); }
std::string After(const std::string& text, char separator) {
    const size_t at = text.find(separator);
    return at == std::string::npos ? std::string() : text.substr(at + 1);
}

long long FileSize(const std::wstring& name) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return -1;
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
    const bool upload = command == "upload";
    if (force && !upload) {
        std::fprintf(stderr, "pgxfer: --force is for uploads only\n");
        return Usage();
    }
    const std::wstring file = Wide((upload ? operands[0] : operands[1]).c_str());
    const std::string& url = upload ? operands[1] : operands[0];
    const long long fileSize = upload ? FileSize(file) : 0;
    if (fileSize < 0) {
        // The server raises no event for a name that is no file.
        std::fprintf(stderr, "pgxfer: no such file: %s\n", operands[0].c_str());
        return 11;
    }

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
    if (FAILED(hr)) return Failed("creating NetFileEngine", hr);
    if (!proxy.empty()) {
        VARIANT_BOOL loaded = VARIANT_FALSE;
        Bstr host(Before(proxy, ':').c_str()), port(After(proxy, ':').c_str());
        Bstr user(Before(proxyUser, ':').c_str()), password(After(proxyUser, ':').c_str());
        hr = engine->LoadProxyInfo(host.Get(), port.Get(), user.Get(), password.Get(), &loaded);
        if (FAILED(hr)) return Failed("LoadProxyInfo", hr);
    }
    Ref<INetFileTrans> trans;
    hr = engine->CreateNetFileTrans(Bstr(("{\"access_token\":" + JsonString(token) + "}").c_str()).Get(),
                                    trans.Receive());
    if (FAILED(hr)) return Failed("CreateNetFileTrans", hr);
    Progress* progress = new Progress(fileSize);
    trans->put_Progress(progress);

    VARIANT_BOOL started = VARIANT_FALSE;
    if (upload) {
        SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
        hr = trans->Upload(Bstr(file).Get(), Bstr(url.c_str()).Get(), force ? VARIANT_TRUE : VARIANT_FALSE, &started);
    } else {
        hr = trans->DownLoad(Bstr(url.c_str()).Get(), Bstr(file).Get(), &started);
    }
    trans->put_Progress(nullptr);
    int exitCode = 4;
    if (FAILED(hr)) {
        exitCode = Failed(command.c_str(), hr);
    } else if (started != VARIANT_TRUE) {
        std::fprintf(stderr, "pgxfer: %s did not start (not an http:// or https:// URL)\n", command.c_str());
    } else {
        // The last event, or the end of every server thread that holds the
        // callback: a transfer that ends without an event must not hold
        // pgxfer for ever.
        while (WaitForSingleObject(progress->Done(), 100) == WAIT_TIMEOUT && progress->References() > 1) {
        }
        if (WaitForSingleObject(progress->Done(), 0) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "pgxfer: the server ended the %s without a last event\n", command.c_str());
            progress->Release();
            return 5;
        }
        exitCode = progress->ExitCode();
        const long long bytes = upload ? progress->Sent() : exitCode == 0 ? FileSize(file) : 0;
        const double seconds = progress->Seconds();
        std::printf("\n%s: %s, %lld bytes %s in %.3f s, %.1f MB/s\n", command.c_str(),
                    exitCode == 0 ? "finished" : "failed", bytes, upload ? "sent" : "received", seconds,
                    seconds > 0 && bytes > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0);
        if (upload && progress->Resumed() > 0)
            std::printf("resumed after %lld bytes acknowledged before\n", progress->Resumed());
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
