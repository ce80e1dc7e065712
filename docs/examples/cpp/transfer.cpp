// An early-bound Parcelgate client in C++: creates NetFileEngine through
// COM, hands the transfer object its own INetFileProgress and waits for the
// transfer's last event.
//
//   transfer download URL FILE [TOKEN]
//   transfer upload FILE URL [TOKEN]
//
// Exit code: 0 OnFinish, 10 + code after OnFail(code), 2 bad command line,
// 3 a COM call failed (Parcelgate.dll not registered for this kind of
// process, among others), 4 the transfer was not started (URL refused).
//
// Parcelgate_h.h and Parcelgate_i.c come from the type library's IDL
// (widl or midl: parcelgate/com/Parcelgate.idl).
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "Parcelgate_h.h"

namespace {

// The callback object. The server calls it on its own worker threads,
// directly (nothing is marshalled), so everything here is thread-safe.
class Progress : public INetFileProgress {
public:
    Progress() : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    virtual ~Progress() { CloseHandle(done_); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (iid != IID_IUnknown && iid != IID_INetFileProgress) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<INetFileProgress*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    STDMETHODIMP OnBegin(HRESULT*) override {
        std::printf("OnBegin\n");
        return S_OK;
    }
    // Uploads only. Setting *value to E_ABORT would stop the upload.
    STDMETHODIMP OnProgress(UINT64 position, UINT64 maximum, TNetFileAction, HRESULT* value) override {
        std::printf("OnProgress %llu / %llu\n", static_cast<unsigned long long>(position),
                    static_cast<unsigned long long>(maximum));
        *value = S_OK;
        return S_OK;
    }
    STDMETHODIMP OnFinish(HRESULT*) override {
        std::printf("OnFinish\n");
        return End(0);
    }
    STDMETHODIMP OnFail(LONG code, HRESULT*) override {
        std::printf("OnFail %ld\n", static_cast<long>(code));
        return End(10 + code);
    }

    // Waits for OnFinish or OnFail; false after `ms`.
    bool Wait(DWORD ms) const { return WaitForSingleObject(done_, ms) == WAIT_OBJECT_0; }
    int ExitCode() const { return exitCode_; }

private:
    HRESULT End(int code) {
        // A form upload's progress monitor may report after its last event.
        if (!ended_.exchange(true)) {
            exitCode_ = code;
            SetEvent(done_);
        }
        return S_OK;
    }

    std::atomic<ULONG> references_{1};
    std::atomic<bool> ended_{false};
    std::atomic<int> exitCode_{1};
    HANDLE done_;
};

std::wstring Wide(const char* text) {
    std::wstring wide(std::strlen(text) + 1, L'\0');
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return wide;
}

int Fail(const char* what, HRESULT hr) {
    std::fprintf(stderr, "%s failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
    return 3;
}

int Run(int argc, char** argv) {
    if (argc < 4 || (std::strcmp(argv[1], "download") != 0 && std::strcmp(argv[1], "upload") != 0)) {
        std::fprintf(stderr, "usage: transfer download URL FILE [TOKEN] | transfer upload FILE URL [TOKEN]\n");
        return 2;
    }
    const bool upload = std::strcmp(argv[1], "upload") == 0;

    INetFileEngine* engine = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_NetFileEngine, nullptr, CLSCTX_INPROC_SERVER, IID_INetFileEngine,
                                  reinterpret_cast<void**>(&engine));
    if (FAILED(hr)) return Fail("CoCreateInstance(NetFileEngine)", hr);

    // The token goes into JSON: a real client escapes quotes and backslashes.
    const std::wstring connection = L"{\"access_token\":\"" + Wide(argc > 4 ? argv[4] : "") + L"\"}";
    BSTR text = SysAllocString(connection.c_str());
    INetFileTrans* trans = nullptr;
    hr = engine->CreateNetFileTrans(text, &trans);
    SysFreeString(text);
    engine->Release();
    if (FAILED(hr)) return Fail("CreateNetFileTrans", hr);

    Progress* progress = new Progress();
    trans->put_Progress(progress);  // the transfer object holds its own reference

    BSTR first = SysAllocString(Wide(argv[2]).c_str());
    BSTR second = SysAllocString(Wide(argv[3]).c_str());
    VARIANT_BOOL started = VARIANT_FALSE;
    hr = upload ? trans->Upload(first, second, VARIANT_FALSE, &started) : trans->DownLoad(first, second, &started);
    SysFreeString(first);
    SysFreeString(second);
    // Every worker took its own reference at the start: the transfer object
    // may go now.
    trans->Release();

    int code = 4;
    if (FAILED(hr)) {
        code = Fail(upload ? "Upload" : "DownLoad", hr);
    } else if (started != VARIANT_TRUE) {
        std::fprintf(stderr, "not started: only http:// and https:// URLs are taken\n");
    } else if (!progress->Wait(120000)) {
        // A form upload of a file that does not exist raises no event.
        std::fprintf(stderr, "no last event within two minutes\n");
        code = 5;
    } else {
        code = progress->ExitCode();
    }
    progress->Release();
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    // The server's classes live in single-threaded apartments; its events
    // still arrive on its worker threads.
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 3;
    const int code = Run(argc, argv);
    CoUninitialize();
    return code;
}
