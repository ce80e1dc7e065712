// Client-side helpers of the Parcelgate COM tests: the built DLL loaded as a
// COM client would, an event sink that records what arrives, transfers made
// and run as a client makes and runs them, BSTR owners and a process runner
// for regsvr32 and cscript.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "Parcelgate_h.h"
#include "TestFiles.h"

namespace testing_support {

using Microsoft::WRL::ComPtr;

// Takes over the one reference a new object was born with. (The Attach of
// mingw-w64's ComPtr adds a reference, unlike its namesake.)
template <class T>
ComPtr<T> Adopt(T* born) {
    ComPtr<T> owner(born);
    if (born) born->Release();
    return owner;
}

// A BSTR owned for the length of a call.
class Bstr {
public:
    explicit Bstr(const wchar_t* text) : text_(SysAllocString(text)) {}
    explicit Bstr(const std::string& ansi) {
        int n = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
        std::wstring wide(static_cast<size_t>(n), L'\0');
        MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, &wide[0], n);
        text_ = SysAllocString(wide.c_str());
    }
    ~Bstr() { SysFreeString(text_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR Get() const { return text_; }

private:
    BSTR text_;
};

inline std::wstring Wide(const std::string& ansi) {
    int n = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, &wide[0], n);
    wide.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
    return wide;
}

inline std::string Narrow(const std::wstring& wide) {
    int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &text[0], n, nullptr, nullptr);
    text.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
    return text;
}

// The built Parcelgate.dll next to the test executable, loaded by path, with
// its class objects reached through its own DllGetClassObject.
class ServerDll {
public:
    explicit ServerDll(const std::string& path = ExecutableDirectory() + "\\Parcelgate.dll")
        : module_(LoadLibraryA(path.c_str())) {}
    ~ServerDll() {
        if (module_) FreeLibrary(module_);
    }
    ServerDll(const ServerDll&) = delete;
    ServerDll& operator=(const ServerDll&) = delete;

    HMODULE Module() const { return module_; }

    template <class Function>
    Function Entry(const char* name) const {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** object) const {
        auto get = Entry<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
        return get ? get(clsid, riid, object) : E_FAIL;
    }
    HRESULT CanUnloadNow() const {
        auto can = Entry<HRESULT(STDAPICALLTYPE*)()>("DllCanUnloadNow");
        return can ? can() : E_FAIL;
    }

    template <class Interface>
    ComPtr<Interface> Create(REFCLSID clsid) const {
        ComPtr<IClassFactory> factory;
        ComPtr<Interface> object;
        if (SUCCEEDED(GetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf()))))
            factory->CreateInstance(nullptr, __uuidof(Interface), reinterpret_cast<void**>(object.GetAddressOf()));
        return object;
    }

    // The unloading FreeLibrary gives up the reference of this object.
    void Release() {
        if (module_) FreeLibrary(module_);
        module_ = nullptr;
    }

private:
    HMODULE module_;
};

// One event as the sink saw it.
struct SinkEvent {
    std::string name;  // "OnBegin", "OnProgress", "OnFinish", "OnFail"
    long code = 0;     // OnFail's AErrorCode
    DWORD thread = 0;  // thread it arrived on
};

// Records every event; Wait() returns once OnFinish or OnFail arrived.
// `failBegin` makes OnBegin answer a failure HRESULT.
class RecordingSink : public INetFileProgress {
public:
    explicit RecordingSink(bool failBegin = false)
        : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), failBegin_(failBegin) {}
    virtual ~RecordingSink() { CloseHandle(done_); }

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
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    STDMETHODIMP OnProgress(UINT64, UINT64, TNetFileAction, HRESULT*) override {
        Add("OnProgress", 0);
        return S_OK;
    }
    STDMETHODIMP OnBegin(HRESULT*) override {
        Add("OnBegin", 0);
        if (failBegin_) {
            SetEvent(done_);
            return E_FAIL;
        }
        return S_OK;
    }
    STDMETHODIMP OnFinish(HRESULT*) override {
        Add("OnFinish", 0);
        SetEvent(done_);
        return S_OK;
    }
    STDMETHODIMP OnFail(LONG code, HRESULT*) override {
        Add("OnFail", code);
        SetEvent(done_);
        return S_OK;
    }

    bool Wait(DWORD ms = 30000) const { return WaitForSingleObject(done_, ms) == WAIT_OBJECT_0; }

    // Waits until only `count` references are left (the workers let go).
    bool WaitForReferences(ULONG count, DWORD ms = 10000) const {
        for (DWORD waited = 0; waited < ms; waited += 10) {
            if (references_.load() == count) return true;
            Sleep(10);
        }
        return references_.load() == count;
    }

    std::vector<SinkEvent> Events() const {
        std::lock_guard<std::mutex> hold(lock_);
        return events_;
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : Events()) names.push_back(e.code ? e.name + "(" + std::to_string(e.code) + ")" : e.name);
        return names;
    }

private:
    void Add(const char* name, long code) {
        std::lock_guard<std::mutex> hold(lock_);
        events_.push_back({name, code, GetCurrentThreadId()});
    }

    std::atomic<ULONG> references_{1};
    HANDLE done_;
    bool failBegin_;
    mutable std::mutex lock_;
    std::vector<SinkEvent> events_;
};

// Transfer objects made the way a client makes them, and downloads run to
// their last event.
class TransferClient {
public:
    explicit TransferClient(const ServerDll& dll) : dll_(dll) {}

    // From a fresh engine's CreateNetFileTrans(connection); null when refused.
    ComPtr<INetFileTrans> FromConnection(const std::string& connection) const {
        ComPtr<INetFileEngine> engine = dll_.Create<INetFileEngine>(CLSID_NetFileEngine);
        ComPtr<INetFileTrans> trans;
        if (engine) engine->CreateNetFileTrans(Bstr(connection).Get(), trans.GetAddressOf());
        return trans;
    }

    // With the connection {"access_token": token} and the sink put in.
    ComPtr<INetFileTrans> Trans(const std::string& token, INetFileProgress* sink) const {
        ComPtr<INetFileTrans> trans = FromConnection("{\"access_token\":\"" + token + "\"}");
        if (trans) trans->put_Progress(sink);
        return trans;
    }

    // Starts a download, waits for its last event and for the worker to let
    // go of the sink; the events' names ("not started" when DownLoad refused,
    // "no last event" when none came).
    std::vector<std::string> Download(const std::string& url, const std::wstring& file,
                                      const std::string& token = "tok") const {
        ComPtr<RecordingSink> sink = Adopt(new RecordingSink());
        ComPtr<INetFileTrans> trans = Trans(token, sink.Get());
        VARIANT_BOOL started = VARIANT_FALSE;
        if (!trans || trans->DownLoad(Bstr(url).Get(), Bstr(file.c_str()).Get(), &started) != S_OK ||
            started != VARIANT_TRUE)
            return {"not started"};
        trans.Reset();
        if (!sink->Wait() || !sink->WaitForReferences(1)) return {"no last event"};
        return sink->Names();
    }
    std::vector<std::string> Download(const std::string& url, const std::string& file,
                                      const std::string& token = "tok") const {
        return Download(url, Wide(file), token);
    }

private:
    const ServerDll& dll_;
};

// How many lines of a log file contain `part`, waiting up to `ms` for at
// least `count` of them: nginx writes its access log line only after the
// client already has the whole answer.
inline size_t WaitForLogLines(const std::string& path, const std::string& part, size_t count, DWORD ms = 5000) {
    size_t found = 0;
    for (DWORD waited = 0;; waited += 20) {
        found = 0;
        for (const auto& line : Lines(ReadFile(path)))
            if (line.find(part) != std::string::npos) ++found;
        if (found >= count || waited >= ms) return found;
        Sleep(20);
    }
}

// Runs a command line, waits up to `ms`, returns its exit code (or -1).
inline long RunProcess(const std::string& commandLine, DWORD ms = 60000) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, ms) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<long>(code);
}

// Runs the prefix's regsvr32 with options ("/s", "/u /s") on a DLL.
inline long Regsvr32(const std::string& options, const std::string& dll) {
    return RunProcess("regsvr32.exe " + options + " \"" + dll + "\"");
}

// Registers a DLL with regsvr32 for the life of the object.
class Registered {
public:
    explicit Registered(const std::string& dll) : dll_(dll), code_(Regsvr32("/s", dll)) {}
    ~Registered() { Regsvr32("/u /s", dll_); }
    Registered(const Registered&) = delete;
    Registered& operator=(const Registered&) = delete;
    long Code() const { return code_; }

private:
    std::string dll_;
    long code_;
};

}  // namespace testing_support
