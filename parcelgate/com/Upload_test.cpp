// Uploads through the built Parcelgate.dll: the file size chooses the form
// (nginx with the upload-progress module and the tests' form backend) or the
// chunks (the tests' chunk server), and one transfer object runs several
// uploads at once. Every path once more over TLS, with nginx in front.
#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ComTestFixtures.h"
#include "DebugOutput.h"
#include "HttpPeers.h"
#include "PcgComClient.h"
#include "PcgWirePeer.h"
#include "TestAuthority.h"

namespace {

using namespace testing_support;

using PcgComUpload = ComClientTest;

std::string FormUrl() { return "http://127.0.0.1:" + Env("PCG_FORM_PORT") + "/up"; }

// The contents the form backend received, in any order.
std::vector<std::string> ReceivedForms() {
    const std::string directory = Env("PCG_FORM_RECORDS");
    std::vector<std::string> contents;
    for (const std::string& file : FilesIn(directory)) {
        if (file.size() > 4 && file.substr(file.size() - 4) == ".bin") contents.push_back(ReadFile(directory + "\\" + file));
    }
    std::sort(contents.begin(), contents.end());
    return contents;
}

TEST_F(PcgComUpload, SizeChoosesThePathAndUploadsRunAtOnce) {
    TempDir dir("pcg");
    struct Case {
        const char* name;
        size_t size;
        bool byForm;
    };
    const std::vector<Case> cases = {{"form-limit.bin", 10240, true},
                                     {"small.bin", 300, true},
                                     {"just-over.bin", 10241, false},
                                     {"bigger.bin", 20000, false},
                                     {"biggest.bin", 300000, false}};
    ComPtr<RecordingSink> sink = Adopt(new RecordingSink());
    ComPtr<INetFileTrans> trans = client_.Trans("t", sink.Get());
    ASSERT_TRUE(trans);
    std::vector<std::string> forms;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::string content = Pattern(c.size, static_cast<uint32_t>(20 + i));
        WriteFile(dir / c.name, content);
        if (c.byForm) forms.push_back(content);
        const std::string url = c.byForm ? FormUrl() : ChunkUrl("-", c.name);
        VARIANT_BOOL started = VARIANT_FALSE;
        ASSERT_EQ(S_OK, trans->Upload(Bstr(dir / c.name).Get(), Bstr(url).Get(), VARIANT_FALSE, &started));
        EXPECT_EQ(VARIANT_TRUE, started);
    }
    trans.Reset();
    // Every worker lets go of the sink once it has ended.
    ASSERT_TRUE(sink->WaitForReferences(1, 60000));

    const auto names = sink->Names();
    EXPECT_EQ(cases.size(), static_cast<size_t>(std::count(names.begin(), names.end(), "OnFinish")));
    EXPECT_EQ(0, std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.find("OnFail") == 0; }));
    std::sort(forms.begin(), forms.end());
    EXPECT_TRUE(forms == ReceivedForms());
    for (size_t i = 0; i < cases.size(); ++i) {
        if (cases[i].byForm) continue;
        SCOPED_TRACE(cases[i].name);
        EXPECT_TRUE(ReadFile(dir / cases[i].name) == ReadFile(ChunkFile(cases[i].name)));
    }
}

// Every path over https against nginx with a test authority trusted in this
// prefix only: byte for byte where the certificate holds; where it fails a
// check nothing reaches nginx and nothing is written; through the proxy's
// CONNECT tunnel with its credentials; a body cut without close notify fails.
TEST_F(PcgComUpload, OverHttpsEveryPathAndEveryRefusal) {
    TrustedTestAuthority authority;
    ASSERT_TRUE(authority.Trusted());
    TempDir dir("pcg");
    const std::string served = Pattern((1 << 20) + 7, 40);
    WriteFile(Env("HTTPS_NGINX_ROOT") + "\\d.bin", served);
    ComPtr<INetFileEngine> engine = dll_.Create<INetFileEngine>(CLSID_NetFileEngine);
    pcg_testing::PeerControl proxy("PCG_PROXY_CONTROL");
    proxy.RequireProxyAuthorization("Basic " + EncodeBase64("pu:pw"));
    enum Path { Download, Form, Chunks };
    enum Proxy { Direct, Proxied, WrongPassword };
    struct Case {
        const char* port;  // names the port; HTTPS_... ones speak TLS
        Path path;
        std::string target;  // under the port's root; a chunk upload's last element names its file
        Proxy proxy;
        bool ok;
        std::string reason;  // in the debugger's output with a refusal
        const char* host = "localhost";
    };
    const std::string cert = "TlsCertificate: certificate ";
    const std::vector<Case> cases = {
        {"HTTPS_NGINX_PORT", Download, "d.bin", Direct, true, ""},
        {"HTTPS_NGINX_PORT", Form, "up", Direct, true, ""},
        {"HTTPS_NGINX_PORT", Chunks, "up/-/c.bin", Direct, true, ""},
        {"HTTPS_NGINX_PORT", Chunks, "up/refuse=4000/r.bin", Direct, false, ""},
        {"HTTPS_NGINX_PORT", Chunks, "up/refuse=4000/r.bin", Direct, true, ""},  // resumed
        {"HTTPS_NGINX_PORT", Download, "d.bin", Proxied, true, ""},
        {"HTTPS_NGINX_PORT", Chunks, "up/-/p.bin", Proxied, true, ""},
        {"HTTPS_NGINX_PORT", Download, "d.bin", WrongPassword, false,
         "ProxyTunnel: proxy refused the tunnel: 407 Proxy Authentication Required"},
        {"HTTPS_NGINX_PORT", Download, "d.bin", Proxied, false, "ProxyTunnel: proxy gave no HTTP answer", "junk.invalid"},
        {"HTTPS_NGINX_PORT", Download, "to-http", Direct, false, "RedirectRefused: redirect from https to http refused"},
        {"PCG_FORM_PORT", Download, "to-https/" + Env("HTTPS_NGINX_PORT") + "/d.bin", Direct, true, ""},
        {"HTTPS_UNTRUSTED_PORT", Download, "d.bin", Direct, false, cert},
        {"HTTPS_UNTRUSTED_PORT", Chunks, "up/-/u.bin", Direct, false, cert},
        {"HTTPS_UNTRUSTED_CHAIN_PORT", Download, "d.bin", Direct, false, cert + "issued by an untrusted root"},
        {"HTTPS_WRONG_NAME_PORT", Download, "d.bin", Direct, false, cert + "name does not match the host"},
        {"HTTPS_WRONG_NAME_PORT", Form, "up", Direct, false, cert + "name does not match the host"},
        {"HTTPS_EXPIRED_PORT", Download, "d.bin", Direct, false, cert + "expired or not yet valid"},
        {"HTTPS_EXPIRED_PORT", Chunks, "up/-/x.bin", Direct, false, cert + "expired or not yet valid"},
        {"HTTPS_NO_SERVER_AUTH_PORT", Download, "d.bin", Direct, false, cert + "not for server authentication"},
        {"HTTPS_LEAF_SIGNED_CHAIN_PORT", Download, "d.bin", Direct, false, cert + "issued by a certificate that is no"},
        {"HTTPS_TLS11_PORT", Download, "d.bin", Direct, false, "TlsHandshake: "},
        {"HTTPS_REVOKED_PORT", Download, "d.bin", Direct, false, cert + "revoked"},
        {"HTTPS_REVOCATION_OFFLINE_PORT", Download, "d.bin", Direct, true, ""},
        {"HTTPS_CUT_PORT", Download, "d.bin", Direct, false, "TlsTruncated"},
        {"HTTPS_CUT_PORT", Download, "clean/d.bin", Direct, true, ""}};  // the same server, its answer whole
    DebugOutputCapture output;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(std::to_string(i) + " " + c.port + " " + c.target + (c.proxy ? " proxied" : ""));
        const std::string authority = c.host + (":" + Env(c.port));
        const std::string url = (c.port[4] == 'S' ? "https://" : "http://") + authority + "/" + c.target;
        const std::string name = c.path == Download ? "got" + std::to_string(i) : c.target.substr(c.target.rfind('/') + 1);
        const std::string content = Pattern(c.path == Form ? 300 : 20000, static_cast<uint32_t>(name[0]));
        if (c.path != Download) WriteFile(dir / name, content);
        WriteFile(Env("HTTPS_NGINX_ACCESS_LOG"), "");
        proxy.Reset();
        output.Take();
        VARIANT_BOOL stored = VARIANT_FALSE;
        ASSERT_EQ(S_OK, engine->LoadProxyInfo(Bstr(c.proxy ? "127.0.0.1" : "").Get(), Bstr(Env("PCG_PROXY_PORT")).Get(),
                                              Bstr(L"pu").Get(), Bstr(c.proxy == WrongPassword ? L"pX" : L"pw").Get(),
                                              &stored));
        ComPtr<RecordingSink> sink = Adopt(new RecordingSink());
        ComPtr<INetFileTrans> trans = client_.Trans("t", sink.Get());
        VARIANT_BOOL started = VARIANT_FALSE;
        ASSERT_EQ(S_OK, c.path == Download
                            ? trans->DownLoad(Bstr(url).Get(), Bstr(dir / name).Get(), &started)
                            : trans->Upload(Bstr(dir / name).Get(), Bstr(url).Get(), VARIANT_FALSE, &started));
        ASSERT_EQ(VARIANT_TRUE, started);
        trans.Reset();
        ASSERT_TRUE(sink->Wait(60000) && sink->WaitForReferences(1, 30000));
        auto names = sink->Names();  // the form's monitor may report progress after the last event
        names.erase(std::remove(names.begin(), names.end(), "OnProgress"), names.end());
        const std::string said = output.Take();
        EXPECT_EQ(c.ok ? "OnFinish" : "OnFail", names.back()) << said;
        EXPECT_TRUE(c.reason.empty() || said.find("Parcelgate: request failed: " + c.reason) != std::string::npos) << said;
        // A refused certificate: not even a request line reached nginx (its
        // revocation list may have been fetched).
        const auto log = Lines(ReadFile(Env("HTTPS_NGINX_ACCESS_LOG")));
        EXPECT_TRUE(std::string(c.port) == "HTTPS_NGINX_PORT" || c.ok || CountContaining(log, "access_token") == 0);
        EXPECT_TRUE(c.path != Download || c.ok == (ReadFile(dir / name) == served && !FileExists(dir / name + ".pcgpart")));
        EXPECT_TRUE(c.path != Chunks || !c.ok || content == ReadFile(ChunkFile(name)));
        EXPECT_TRUE(c.path != Form || !c.ok ||
                    (ReceivedForms() == std::vector<std::string>{content} && CountContaining(log, "GET /progress 200") > 0));
        const auto requests = proxy.Log();
        EXPECT_EQ(c.proxy != Direct, !requests.empty() && requests[0].raw.find("CONNECT " + authority + " HTTP/1.0\r\n") == 0);
    }
    EXPECT_TRUE(ReceivedForms().size() == 1);
}

// pgxfer through the registered server: its exit codes, a failed upload that
// the next run resumes, and a killed download whose leftover the next
// download of the same target replaces.
TEST(PcgPgxfer, ExitCodesAResumedUploadAndAKilledDownload) {
    const std::string dll = ExecutableDirectory() + "\\Parcelgate.dll";
    TempDir dir("pcg");
    const std::string file = dir / "pgxfer.bin";
    const std::string content = Pattern(20000, 31);
    WriteFile(file, content);
    const std::string pgxfer = "\"" + ExecutableDirectory() + "\\pgxfer.exe\" ";
    const std::string url = ChunkUrl("refuse=4000", "pgxfer.bin");

    // Not registered for this kind of process: the code for "no server" and
    // a message that names the regsvr32 to use.
    Regsvr32("/u /s", dll);
    EXPECT_EQ(3, RunProcess("cmd.exe /c \"" + pgxfer + "upload \"" + file + "\" " + url + " 2>\"" +
                            (dir / "err.txt") + "\"\""));
    const std::string bits = sizeof(void*) == 8 ? "64" : "32";
    EXPECT_NE(std::string::npos, ReadFile(dir / "err.txt").find("not registered for " + bits + "-bit clients"))
        << ReadFile(dir / "err.txt");

    Registered server(dll);
    ASSERT_EQ(0, server.Code());
    WriteFile(HttpsNginxFile("pgxfer.bin"), content);
    TrustedTestAuthority authority;  // else every https row fails at the root, whatever else is wrong
    struct Case {
        std::string arguments;
        long exitCode;
    };
    for (const Case& c : {Case{"frobnicate", 2},
                          Case{"upload \"" + file + "\" ftp://127.0.0.1/x", 4},
                          // https is taken; the certificate is what fails, for a file that is there.
                          Case{"download https://localhost:" + Env("HTTPS_EXPIRED_PORT") + "/pgxfer.bin \"" +
                                   (dir / "x.bin") + "\"", 10},
                          Case{"download https://localhost:" + Env("HTTPS_WRONG_NAME_PORT") + "/pgxfer.bin \"" +
                                   (dir / "x.bin") + "\"", 10},
                          Case{"download --force " + url + " \"" + file + "\"", 2},
                          Case{"upload \"" + (dir / "missing.txt") + "\" " + url, 11},  // at once: no event comes
                          // a\"b\c on the command line is the token a"b\c, which pgxfer's JSON escapes.
                          Case{"--token a\\\"b\\c upload \"" + file + "\" " + url, 10},  // OnFail(0): the chunk refused
                          Case{"--token a\\\"b\\c upload \"" + file + "\" " + url, 0}}) {  // resumed
        SCOPED_TRACE(c.arguments);
        EXPECT_EQ(c.exitCode, RunProcess(pgxfer + c.arguments));
    }
    EXPECT_TRUE(content == ReadFile(ChunkFile("pgxfer.bin")));
    EXPECT_FALSE(FileExists(dir / "pgxfer.upbreak"));
    const auto chunks = RecordedRequests("PCG_CHUNK_REQUESTS");
    ASSERT_FALSE(chunks.empty());
    EXPECT_NE(std::string::npos, chunks.back().find("/pgxfer.bin?access_token=a\"b\\c HTTP/1."))
        << chunks.back();

    const std::string target = dir / "target.bin";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string line = pgxfer + "download " + ChunkUrl("-", "stall") + " \"" + target + "\"";
    ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    for (int waited = 0; waited < 30000 && !FileExists(target + ".pcgpart"); waited += 20) Sleep(20);
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_TRUE(FileExists(target + ".pcgpart"));
    EXPECT_EQ(0, RunProcess(pgxfer + "download " + ChunkUrl("-", "pgxfer.bin") + " \"" + target + "\""));
    EXPECT_TRUE(content == ReadFile(target));
    EXPECT_FALSE(FileExists(target + ".pcgpart"));
    // An error page is no download: the finished target stays as it was.
    EXPECT_EQ(10, RunProcess(pgxfer + "download " + ChunkUrl("-", "missing.bin") + " \"" + target + "\""));
    EXPECT_TRUE(content == ReadFile(target));
    EXPECT_FALSE(FileExists(target + ".pcgpart"));
}

}  // namespace
