// Registration by the Wine prefix's own regsvr32, read back from the real
// registry, and clients that know only the ProgID: a C++ client through
// CoCreateInstance and a JScript file run by cscript.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ComTestFixtures.h"
#include "HttpPeers.h"
#include "PcgComClient.h"

namespace {

using namespace testing_support;

const char kEngineKey[] = "CLSID\\{995CEE8E-B749-47EC-8CC0-4BC7F0C0125D}";
const char kTransKey[] = "CLSID\\{908CCA94-17DB-4C1F-B0DB-0BF351FC6EB0}";
const char kTypeLibKey[] = "TypeLib\\{7AE723F7-8170-4974-9D8A-31E9F3CFDE5D}";

// The registry view of this process's kind; classes registered by a server
// of the other kind live in the other view, where this process's COM cannot
// see them (ProgIDs and type libraries are shared by both views).
const REGSAM kOwnView = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
const REGSAM kOtherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;

std::string Value(const std::string& key, const std::string& name = "") {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ | kOwnView, &opened) != ERROR_SUCCESS)
        return "<missing>";
    char data[1024] = {};
    DWORD size = sizeof data;
    const LSTATUS status =
        RegGetValueA(opened, nullptr, name.empty() ? nullptr : name.c_str(), RRF_RT_REG_SZ, nullptr, data, &size);
    RegCloseKey(opened);
    return status == ERROR_SUCCESS ? data : "<missing>";
}

bool KeyExists(const std::string& key, REGSAM view = kOwnView) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ | view, &opened) != ERROR_SUCCESS) return false;
    RegCloseKey(opened);
    return true;
}

std::string ShortPath(const std::string& path) {
    char text[MAX_PATH] = {};
    DWORD n = GetShortPathNameA(path.c_str(), text, sizeof text);
    return n > 0 && n < sizeof text ? std::string(text, n) : path;
}

std::string BuiltDll() { return ExecutableDirectory() + "\\Parcelgate.dll"; }

void ExpectRegistered(const std::string& registeredPath, const std::string& fullPath) {
    EXPECT_EQ("NetFileEngine Object", Value(kEngineKey));
    EXPECT_EQ("", Value(kTransKey));
    for (const std::string classKey : {kEngineKey, kTransKey}) {
        SCOPED_TRACE(classKey);
        EXPECT_EQ(registeredPath, Value(classKey + "\\InprocServer32"));
        EXPECT_EQ("Apartment", Value(classKey + "\\InprocServer32", "ThreadingModel"));
        EXPECT_EQ("1.0", Value(classKey + "\\Version"));
        EXPECT_EQ("{7AE723F7-8170-4974-9D8A-31E9F3CFDE5D}", Value(classKey + "\\TypeLib"));
    }
    EXPECT_EQ("Parcelgate.NetFileEngine", Value(std::string(kEngineKey) + "\\ProgID"));
    EXPECT_EQ("Parcelgate.NetFileTrans", Value(std::string(kTransKey) + "\\ProgID"));
    EXPECT_EQ("NetFileEngine Object", Value("Parcelgate.NetFileEngine"));
    EXPECT_EQ("", Value("Parcelgate.NetFileTrans"));
    EXPECT_EQ("{995CEE8E-B749-47EC-8CC0-4BC7F0C0125D}", Value("Parcelgate.NetFileEngine\\Clsid"));
    EXPECT_EQ("{908CCA94-17DB-4C1F-B0DB-0BF351FC6EB0}", Value("Parcelgate.NetFileTrans\\Clsid"));
    EXPECT_EQ("Parcelgate Library", Value(std::string(kTypeLibKey) + "\\1.0"));
    EXPECT_EQ(fullPath, Value(std::string(kTypeLibKey) + "\\1.0\\409\\" + (sizeof(void*) == 8 ? "win64" : "win32")));
    for (const char* classKey : {kEngineKey, kTransKey}) EXPECT_FALSE(KeyExists(classKey, kOtherView)) << classKey;
}

void ExpectUnregistered() {
    for (const char* key : {kEngineKey, kTransKey, "Parcelgate.NetFileEngine", "Parcelgate.NetFileTrans", kTypeLibKey})
        EXPECT_FALSE(KeyExists(key)) << key;
}

TEST(PcgComRegsvr32, RegistersAndUnregisters) {
    const std::string dll = BuiltDll();
    ASSERT_EQ(0, Regsvr32("/s", dll));
    ExpectRegistered(dll, dll);
    ASSERT_EQ(0, Regsvr32("/u /s", dll));
    ExpectUnregistered();
}

TEST(PcgComRegsvr32, PathWithABlankIsRegisteredShort) {
    TempDir dir("pcg");
    const std::string blank = dir / "Program Files x";
    ASSERT_TRUE(CreateDirectoryA(blank.c_str(), nullptr));
    const std::string dll = blank + "\\Parcelgate.dll";
    ASSERT_TRUE(CopyFileA(BuiltDll().c_str(), dll.c_str(), FALSE));
    const std::string shortPath = ShortPath(dll);
    ASSERT_EQ(std::string::npos, shortPath.find(' ')) << shortPath;

    ASSERT_EQ(0, Regsvr32("/s", dll));
    ExpectRegistered(shortPath, dll);
    ASSERT_EQ(0, Regsvr32("/u /s", dll));
    ExpectUnregistered();
}

TEST(PcgComRegsvr32, FailureAnswersItsOwnHresult) {
    ServerDll dll;
    auto registerServer = dll.Entry<HRESULT(STDAPICALLTYPE*)()>("DllRegisterServer");
    auto unregisterServer = dll.Entry<HRESULT(STDAPICALLTYPE*)()>("DllUnregisterServer");
    ASSERT_TRUE(registerServer && unregisterServer);
    unregisterServer();
    // A volatile class key: the registry refuses the lasting subkeys below it.
    HKEY planted = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, kEngineKey, 0, nullptr, REG_OPTION_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, &planted, nullptr));
    RegCloseKey(planted);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE), registerServer());
    EXPECT_EQ(S_OK, unregisterServer());
    RegDeleteTreeA(HKEY_CLASSES_ROOT, kEngineKey);
    ExpectUnregistered();
}

class PcgComProgIdClient : public ComApartmentTest {};

TEST_F(PcgComProgIdClient, CreatesByProgIdAndClsidAndDownloads) {
    Registered registered(BuiltDll());
    ASSERT_EQ(0, registered.Code());

    CLSID clsid = GUID_NULL;
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"Parcelgate.NetFileEngine", &clsid));
    EXPECT_EQ(CLSID_NetFileEngine, clsid);
    ComPtr<INetFileEngine> engine;
    ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_INetFileEngine,
                                     reinterpret_cast<void**>(engine.GetAddressOf())));
    ComPtr<INetFileTrans> byClsid;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NetFileTrans, nullptr, CLSCTX_INPROC_SERVER, IID_INetFileTrans,
                                     reinterpret_cast<void**>(byClsid.GetAddressOf())));

    const std::string content = Pattern(64 * 1024, 11);
    WriteFile(NginxFile("progid.bin"), content);
    TempDir dir("pcg");
    ComPtr<RecordingSink> sink = Adopt(new RecordingSink());
    ComPtr<INetFileTrans> trans;
    ASSERT_EQ(S_OK, engine->CreateNetFileTrans(Bstr(L"{\"access_token\":\"pid\"}").Get(), trans.GetAddressOf()));
    ASSERT_EQ(S_OK, trans->put_Progress(sink.Get()));
    VARIANT_BOOL started = VARIANT_FALSE;
    ASSERT_EQ(S_OK, trans->DownLoad(Bstr(NginxUrl("progid.bin")).Get(), Bstr(dir / "progid.bin").Get(), &started));
    ASSERT_EQ(VARIANT_TRUE, started);
    ASSERT_TRUE(sink->Wait());
    EXPECT_EQ((std::vector<std::string>{"OnBegin", "OnFinish"}), sink->Names());
    EXPECT_TRUE(content == ReadFile(dir / "progid.bin"));

    // The transfer object made by CLSID (empty token) from the tests' own server.
    ComPtr<RecordingSink> second = Adopt(new RecordingSink());
    ASSERT_EQ(S_OK, byClsid->put_Progress(second.Get()));
    const std::string url = "http://127.0.0.1:" + Env("PCG_COM_HTTP_PORT") + "/notfound";
    ASSERT_EQ(S_OK, byClsid->DownLoad(Bstr(url).Get(), Bstr(dir / "404.html").Get(), &started));
    ASSERT_EQ(VARIANT_TRUE, started);
    ASSERT_TRUE(second->Wait());
    EXPECT_EQ((std::vector<std::string>{"OnBegin", "OnFail"}), second->Names()) << "an error page is no download";
    EXPECT_FALSE(FileExists(dir / "404.html"));
}

TEST(PcgComCscript, ScriptClientDownloads) {
    Registered registered(BuiltDll());
    ASSERT_EQ(0, registered.Code());
    const std::string content = Pattern(10000, 5);
    WriteFile(NginxFile("script.bin"), content);
    TempDir dir("pcg");
    const std::string target = dir / "script.bin";
    auto jsText = [](std::string text) {
        std::string quoted;
        for (char c : text) quoted += c == '\\' ? std::string("\\\\") : std::string(1, c);
        return "\"" + quoted + "\"";
    };
    // Scripts cannot receive the events: the script waits for the file,
    // spinning (Wine's cscript has no WScript.Sleep), and answers 7 only
    // when it arrived whole; a script error would end with 0.
    const std::string script =
        "var engine = new ActiveXObject(\"Parcelgate.NetFileEngine\");\r\n"
        "var trans = engine.CreateNetFileTrans(\"{'access_token':'js'}\");\r\n"
        "var started = trans.DownLoad(" + jsText(NginxUrl("script.bin")) + ", " + jsText(target) + ");\r\n"
        "var fso = new ActiveXObject(\"Scripting.FileSystemObject\");\r\n"
        "var until = new Date().getTime() + 20000, arrived = false;\r\n"
        "while (!arrived && new Date().getTime() < until)\r\n"
        "  arrived = fso.FileExists(" + jsText(target) + ") && fso.GetFile(" + jsText(target) + ").Size == " +
        std::to_string(content.size()) + ";\r\n"
        "WScript.Quit(!started ? 3 : !arrived ? 4 : 7);\r\n";
    const std::string file = dir / "download.js";
    WriteFile(file, script);
    EXPECT_EQ(7, RunProcess("cscript.exe //nologo \"" + file + "\""));
    EXPECT_TRUE(content == ReadFile(target)) << ReadFile(target).size() << " bytes";
    EXPECT_EQ(1u, WaitForLogLines(Env("HTTP_NGINX_ACCESS_LOG"), "GET /script.bin?access_token=js 200", 1));
}

}  // namespace
