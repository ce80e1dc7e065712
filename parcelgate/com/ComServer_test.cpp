// The built Parcelgate.dll as a client sees it without a network: class
// objects, unload rules, the engine and transfer objects, the error
// convention and late binding through IDispatch.
#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ComTestFixtures.h"
#include "PcgComClient.h"

namespace {

using namespace testing_support;

const CLSID kOtherClass = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

class PcgComServer : public ComClientTest {
protected:
    ComPtr<INetFileTrans> Trans(const std::string& connection) { return client_.FromConnection(connection); }
};

// The calling thread's error object: description and GUID.
std::pair<std::string, GUID> TakeErrorInfo() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.GetAddressOf()) != S_OK || !info) return {"<none>", GUID_NULL};
    BSTR description = nullptr;
    GUID guid = GUID_NULL;
    info->GetDescription(&description);
    info->GetGUID(&guid);
    std::string text = description ? Narrow(description) : "";
    SysFreeString(description);
    return {text, guid};
}

TEST_F(PcgComServer, ClassObjects) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, dll_.GetClassObject(kOtherClass, IID_IClassFactory, &object));
    EXPECT_EQ(nullptr, object);

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, dll_.GetClassObject(CLSID_NetFileEngine, IID_IClassFactory,
                                        reinterpret_cast<void**>(factory.GetAddressOf())));
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, dll_.GetClassObject(CLSID_NetFileTrans, IID_IUnknown,
                                        reinterpret_cast<void**>(unknown.GetAddressOf())));
    EXPECT_EQ(E_NOINTERFACE, dll_.GetClassObject(CLSID_NetFileTrans, IID_IDispatch, &object));

    // Multi-instance: every CreateInstance makes a new object.
    ComPtr<INetFileEngine> first;
    ComPtr<INetFileEngine> second;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_INetFileEngine, reinterpret_cast<void**>(first.GetAddressOf())));
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_INetFileEngine, reinterpret_cast<void**>(second.GetAddressOf())));
    EXPECT_NE(first.Get(), second.Get());
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(first.Get(), IID_IUnknown, &object));
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_INetFileTrans, &object));

    // One interface each, served as IDispatch too.
    ComPtr<IDispatch> dispatch;
    EXPECT_EQ(S_OK, first.As(&dispatch));
    ComPtr<INetFileTrans> wrong;
    EXPECT_EQ(E_NOINTERFACE, first.As(&wrong));
}

TEST_F(PcgComServer, UnloadOnlyWithoutObjectsAndLocks) {
    EXPECT_EQ(S_OK, dll_.CanUnloadNow());
    {
        ComPtr<INetFileTrans> trans = Trans("{\"access_token\":\"t\"}");
        ASSERT_TRUE(trans);
        EXPECT_EQ(S_FALSE, dll_.CanUnloadNow());
    }
    EXPECT_EQ(S_OK, dll_.CanUnloadNow());

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, dll_.GetClassObject(CLSID_NetFileTrans, IID_IClassFactory,
                                        reinterpret_cast<void**>(factory.GetAddressOf())));
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    factory.Reset();
    EXPECT_EQ(S_FALSE, dll_.CanUnloadNow());
    ASSERT_EQ(S_OK, dll_.GetClassObject(CLSID_NetFileTrans, IID_IClassFactory,
                                        reinterpret_cast<void**>(factory.GetAddressOf())));
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    factory.Reset();
    EXPECT_EQ(S_OK, dll_.CanUnloadNow());
}

TEST_F(PcgComServer, ConnectionTextThatIsNotJsonFails) {
    ComPtr<INetFileEngine> engine = dll_.Create<INetFileEngine>(CLSID_NetFileEngine);
    ASSERT_TRUE(engine);
    ComPtr<ISupportErrorInfo> supports;
    ASSERT_EQ(S_OK, engine.As(&supports));
    EXPECT_EQ(S_OK, supports->InterfaceSupportsErrorInfo(IID_INetFileEngine));

    for (const wchar_t* text : {L"access_token=abc", L"{\"access_token\":", L"", static_cast<const wchar_t*>(nullptr)}) {
        SCOPED_TRACE(text ? Narrow(text) : "NULL");
        INetFileTrans* trans = reinterpret_cast<INetFileTrans*>(1);
        BSTR connection = text ? SysAllocString(text) : nullptr;
        EXPECT_EQ(E_UNEXPECTED, engine->CreateNetFileTrans(connection, &trans));
        SysFreeString(connection);
        EXPECT_EQ(nullptr, trans);
        auto error = TakeErrorInfo();
        EXPECT_FALSE(error.first.empty());
        EXPECT_NE("<none>", error.first);
        EXPECT_EQ(IID_INetFileEngine, error.second);
    }
    EXPECT_EQ(E_POINTER, engine->CreateNetFileTrans(Bstr(L"{}").Get(), nullptr));
}

TEST_F(PcgComServer, EngineCalls) {
    ComPtr<INetFileEngine> engine = dll_.Create<INetFileEngine>(CLSID_NetFileEngine);
    ASSERT_TRUE(engine);
    // Lenient JSON: single quotes, trailing text; values that are no object.
    for (const char* text : {"{'access_token':'abc'} and more", "[1,2]", "\"text\"", "{}", "{\"other\":1}"}) {
        SCOPED_TRACE(text);
        ComPtr<INetFileTrans> trans;
        EXPECT_EQ(S_OK, engine->CreateNetFileTrans(Bstr(std::string(text)).Get(), trans.GetAddressOf()));
        EXPECT_TRUE(trans);
    }
    VARIANT_BOOL stored = VARIANT_FALSE;
    EXPECT_EQ(S_OK, engine->LoadProxyInfo(nullptr, Bstr(L"").Get(), nullptr, nullptr, &stored));
    EXPECT_EQ(VARIANT_TRUE, stored);
    LONG lastError = -1;
    EXPECT_EQ(S_OK, engine->GetLastError(&lastError));
    EXPECT_EQ(0, lastError);
}

TEST_F(PcgComServer, ProgressProperty) {
    ComPtr<INetFileTrans> trans = dll_.Create<INetFileTrans>(CLSID_NetFileTrans);
    ASSERT_TRUE(trans);
    ComPtr<INetFileProgress> current;
    EXPECT_EQ(S_OK, trans->get_Progress(current.GetAddressOf()));
    EXPECT_FALSE(current);

    ComPtr<RecordingSink> sink = Adopt(new RecordingSink());
    EXPECT_EQ(S_OK, trans->put_Progress(sink.Get()));
    EXPECT_EQ(S_OK, trans->get_Progress(current.GetAddressOf()));
    EXPECT_EQ(static_cast<INetFileProgress*>(sink.Get()), current.Get());
    current.Reset();
    EXPECT_TRUE(sink->WaitForReferences(2, 0));  // ours and the transfer object's
    EXPECT_EQ(S_OK, trans->put_Progress(nullptr));
    EXPECT_TRUE(sink->WaitForReferences(1, 0));
    EXPECT_EQ(S_OK, trans->get_Progress(current.GetAddressOf()));
    EXPECT_FALSE(current);
}

TEST_F(PcgComServer, UrlChecksStartNothing) {
    ComPtr<INetFileTrans> trans = Trans("{\"access_token\":\"tok\"}");
    ASSERT_TRUE(trans);
    ComPtr<RecordingSink> sink = Adopt(new RecordingSink());
    trans->put_Progress(sink.Get());
    TempDir dir("pcg");
    const std::string file = dir / "out.bin";

    VARIANT_BOOL started = VARIANT_TRUE;
    EXPECT_EQ(S_OK, trans->DownLoad(Bstr(L"ftp://127.0.0.1/x").Get(), Bstr(file).Get(), &started));
    EXPECT_EQ(VARIANT_FALSE, started);
    EXPECT_EQ(S_OK, trans->DownLoad(nullptr, nullptr, &started));
    EXPECT_EQ(VARIANT_FALSE, started);
    EXPECT_EQ(S_OK, trans->DownLoad(Bstr(L"").Get(), Bstr(L"").Get(), &started));
    EXPECT_EQ(VARIANT_FALSE, started);
    EXPECT_EQ(S_OK, trans->Upload(Bstr(file).Get(), Bstr(L"ftp://127.0.0.1/x").Get(), VARIANT_FALSE, &started));
    EXPECT_EQ(VARIANT_FALSE, started);
    EXPECT_EQ(S_OK, trans->Upload(nullptr, nullptr, VARIANT_TRUE, &started));
    EXPECT_EQ(VARIANT_FALSE, started);
    EXPECT_EQ(E_POINTER, trans->DownLoad(Bstr(L"http://127.0.0.1/").Get(), Bstr(file).Get(), nullptr));

    // Upload checks the full URL: a token holding "http://" lets any URL pass.
    ComPtr<INetFileTrans> sly = Trans("{\"access_token\":\"xHtTp://\"}");
    EXPECT_EQ(S_OK, sly->Upload(Bstr(file).Get(), Bstr(L"ftp://nowhere").Get(), VARIANT_FALSE, &started));
    EXPECT_EQ(VARIANT_TRUE, started);  // no such file: the form path, which ends silently
    EXPECT_EQ(S_OK, trans->Upload(nullptr, Bstr(L"http://127.0.0.1:1/up").Get(), VARIANT_FALSE, &started));
    EXPECT_EQ(VARIANT_TRUE, started);  // a NULL name is an empty one: no file either

    Sleep(200);
    EXPECT_TRUE(sink->Events().empty());
    EXPECT_FALSE(FileExists(file));
}

TEST_F(PcgComServer, UploadChoosesItsPathBySize) {
    ComPtr<INetFileTrans> trans = Trans("{\"access_token\":\"tok\"}");
    ASSERT_TRUE(trans);
    TempDir dir("pcg");
    // Files nobody else may open: the big-file path opens its file at once
    // and fails, the form path starts without opening it.
    struct Case {
        size_t size;
        HRESULT expected;
    };
    for (const Case& c : {Case{10240, S_OK}, Case{10241, E_UNEXPECTED}}) {
        SCOPED_TRACE(c.size);
        const std::string file = dir / ("locked" + std::to_string(c.size) + ".bin");
        WriteFile(file, std::string(c.size, 'u'));
        HANDLE lock = CreateFileA(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, lock);
        VARIANT_BOOL started = VARIANT_FALSE;
        EXPECT_EQ(c.expected, trans->Upload(Bstr(file).Get(), Bstr(L"http://127.0.0.1:1/up").Get(), VARIANT_FALSE,
                                            &started));
        EXPECT_EQ(c.expected == S_OK ? VARIANT_TRUE : VARIANT_FALSE, started);
        if (c.expected != S_OK) {
            auto error = TakeErrorInfo();
            EXPECT_NE(std::string::npos, error.first.find(file)) << error.first;
            EXPECT_EQ(IID_INetFileTrans, error.second);
        }
        CloseHandle(lock);
    }
}

// A loopback listener that accepts one connection and holds it, answering
// nothing, until it is closed: a transfer that stays running on demand.
class HoldingListener {
public:
    HoldingListener() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 4);
        int length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~HoldingListener() {
        Close();
        WSACleanup();
    }
    HoldingListener(const HoldingListener&) = delete;
    HoldingListener& operator=(const HoldingListener&) = delete;

    int Port() const { return port_; }
    bool AcceptOne(DWORD ms) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_, &readable);
        timeval limit = {static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
        if (select(0, &readable, nullptr, nullptr, &limit) != 1) return false;
        accepted_ = accept(listener_, nullptr, nullptr);
        return accepted_ != INVALID_SOCKET;
    }
    void Close() {
        if (accepted_ != INVALID_SOCKET) closesocket(accepted_);
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        accepted_ = listener_ = INVALID_SOCKET;
    }

private:
    SOCKET listener_ = INVALID_SOCKET;
    SOCKET accepted_ = INVALID_SOCKET;
    int port_ = 0;
};

TEST_F(PcgComServer, RunningWorkerKeepsTheDllLoaded) {
    HoldingListener server;
    ComPtr<RecordingSink> sink = Adopt(new RecordingSink());
    TempDir dir("pcg");
    {
        ComPtr<INetFileTrans> trans = Trans("{\"access_token\":\"t\"}");
        ASSERT_TRUE(trans);
        trans->put_Progress(sink.Get());
        VARIANT_BOOL started = VARIANT_FALSE;
        std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/held";
        ASSERT_EQ(S_OK, trans->DownLoad(Bstr(url).Get(), Bstr(dir / "held.bin").Get(), &started));
        ASSERT_EQ(VARIANT_TRUE, started);
    }
    ASSERT_TRUE(server.AcceptOne(10000));
    // Every object is gone, the worker still waits for its answer.
    EXPECT_EQ(S_FALSE, dll_.CanUnloadNow());
    dll_.Release();
    EXPECT_NE(nullptr, GetModuleHandleA("Parcelgate.dll"));

    server.Close();
    ASSERT_TRUE(sink->Wait());
    EXPECT_EQ((std::vector<std::string>{"OnBegin", "OnFail"}), sink->Names());
    EXPECT_TRUE(sink->WaitForReferences(1));
    for (int i = 0; i < 500 && GetModuleHandleA("Parcelgate.dll"); ++i) Sleep(10);
    EXPECT_EQ(nullptr, GetModuleHandleA("Parcelgate.dll"));
}

// Late binding: the same members by name and by DISPID through IDispatch.
class PcgComLateBound : public PcgComServer {
protected:
    DISPID Id(IDispatch* object, const wchar_t* name) {
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        EXPECT_EQ(S_OK, object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
        return id;
    }

    // Arguments in call order (Invoke wants them reversed).
    HRESULT Call(IDispatch* object, DISPID id, std::vector<VARIANT> args, VARIANT* result,
                 EXCEPINFO* exception = nullptr) {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        EXCEPINFO local = {};
        UINT argError = 0;
        HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result,
                                    exception ? exception : &local, &argError);
        if (!exception) {
            SysFreeString(local.bstrSource);
            SysFreeString(local.bstrDescription);
            SysFreeString(local.bstrHelpFile);
        }
        return hr;
    }

    static VARIANT Text(const Bstr& text) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = text.Get();
        return v;
    }
    static VARIANT Bool(bool value) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BOOL;
        v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
        return v;
    }
};

TEST_F(PcgComLateBound, NamesAndIds) {
    ComPtr<IDispatch> engine;
    ASSERT_EQ(S_OK, dll_.Create<INetFileEngine>(CLSID_NetFileEngine).As(&engine));
    EXPECT_EQ(201, Id(engine.Get(), L"CreateNetFileTrans"));
    EXPECT_EQ(202, Id(engine.Get(), L"getlasterror"));
    EXPECT_EQ(203, Id(engine.Get(), L"LoadProxyInfo"));
    UINT count = 0;
    EXPECT_EQ(S_OK, engine->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);

    Bstr connection(L"{\"access_token\":\"lb\"}");
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(S_OK, Call(engine.Get(), 201, {Text(connection)}, &result));
    ASSERT_EQ(VT_DISPATCH, result.vt);
    ComPtr<IDispatch> trans = Adopt(result.pdispVal);
    EXPECT_EQ(201, Id(trans.Get(), L"DownLoad"));
    EXPECT_EQ(202, Id(trans.Get(), L"Upload"));
    EXPECT_EQ(203, Id(trans.Get(), L"Progress"));

    VariantInit(&result);
    ASSERT_EQ(S_OK, Call(engine.Get(), Id(engine.Get(), L"GetLastError"), {}, &result));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(0, result.lVal);
}

TEST_F(PcgComLateBound, SameResultsAsTheVtable) {
    ComPtr<IDispatch> engine;
    ASSERT_EQ(S_OK, dll_.Create<INetFileEngine>(CLSID_NetFileEngine).As(&engine));

    // The error convention reaches late-bound callers as an exception.
    Bstr bad(L"not json");
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception = {};
    EXPECT_EQ(DISP_E_EXCEPTION, Call(engine.Get(), 201, {Text(bad)}, &result, &exception));
    EXPECT_EQ(E_UNEXPECTED, exception.scode);
    EXPECT_TRUE(exception.bstrDescription && SysStringLen(exception.bstrDescription) > 0);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);

    Bstr connection(L"{\"access_token\":\"lb\"}");
    VariantInit(&result);
    ASSERT_EQ(S_OK, Call(engine.Get(), Id(engine.Get(), L"CreateNetFileTrans"), {Text(connection)}, &result));
    ComPtr<IDispatch> trans = Adopt(result.pdispVal);

    TempDir dir("pcg");
    Bstr missing(dir / "missing.txt");
    Bstr ftp(L"ftp://127.0.0.1/up");
    Bstr https(L"https://127.0.0.1:1/up");
    struct Case {
        const Bstr& file;
        const Bstr& url;
        bool expected;
    };
    for (const Case& c : {Case{missing, ftp, false}, Case{missing, https, true}}) {
        for (DISPID id : {DISPID(202), Id(trans.Get(), L"Upload")}) {
            VariantInit(&result);
            ASSERT_EQ(S_OK, Call(trans.Get(), id, {Text(c.file), Text(c.url), Bool(false)}, &result));
            EXPECT_EQ(VT_BOOL, result.vt);
            EXPECT_EQ(c.expected ? VARIANT_TRUE : VARIANT_FALSE, result.boolVal);
        }
    }
    VariantInit(&result);
    ASSERT_EQ(S_OK, Call(trans.Get(), 201, {Text(ftp), Text(missing)}, &result));
    EXPECT_EQ(VT_BOOL, result.vt);
    EXPECT_EQ(VARIANT_FALSE, result.boolVal);
}

}  // namespace
