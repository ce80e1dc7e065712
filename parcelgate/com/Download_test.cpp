// Downloads through the built Parcelgate.dll against real servers: nginx and
// the tests' own server (good, odd and broken answers), early- and
// late-bound, with the events checked as the client's sink saw them.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "HttpPeers.h"
#include "ComTestFixtures.h"
#include "DebugOutput.h"
#include "PcgComClient.h"

namespace {

using namespace testing_support;

std::string OwnUrl(const std::string& path) { return "http://127.0.0.1:" + Env("PCG_COM_HTTP_PORT") + path; }

class PcgComDownload : public ComClientTest {
protected:
    void SetUp() override {
        ComClientTest::SetUp();
        engine_ = dll_.Create<INetFileEngine>(CLSID_NetFileEngine);
        ASSERT_TRUE(engine_);
    }
    void TearDown() override {
        engine_.Reset();
        ComClientTest::TearDown();
    }

    ComPtr<INetFileTrans> Trans(const std::string& token, INetFileProgress* sink) {
        return client_.Trans(token, sink);
    }
    std::vector<std::string> Run(const std::string& url, const std::string& file, const std::string& token = "tok") {
        return client_.Download(url, file, token);
    }

    ComPtr<INetFileEngine> engine_;
    TempDir dir_{"pcg"};
};

using Events = std::vector<std::string>;
const Events kFinished = {"OnBegin", "OnFinish"};
const Events kFailed = {"OnBegin", "OnFail"};  // OnFail(0) shows without its code

TEST_F(PcgComDownload, FromNginxEventsInOrderOnOneWorkerThread) {
    // Larger than any answer the session keeps in memory: it streams to disk.
    const std::string content = Pattern(6 * 1024 * 1024 + 7, 7);
    WriteFile(NginxFile("pcg-file.bin"), content);
    const std::string file = dir_ / "pcg-file.bin";

    ComPtr<RecordingSink> sink = Adopt(new RecordingSink());
    ComPtr<INetFileTrans> trans = Trans("tok", sink.Get());
    VARIANT_BOOL started = VARIANT_FALSE;
    ASSERT_EQ(S_OK, trans->DownLoad(Bstr(NginxUrl("pcg-file.bin")).Get(), Bstr(file).Get(), &started));
    ASSERT_EQ(VARIANT_TRUE, started);
    ASSERT_TRUE(sink->Wait());

    auto events = sink->Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("OnBegin", events[0].name);
    EXPECT_EQ("OnFinish", events[1].name);
    EXPECT_EQ(events[0].thread, events[1].thread);
    EXPECT_NE(GetCurrentThreadId(), events[0].thread);
    EXPECT_TRUE(content == ReadFile(file)) << ReadFile(file).size() << " bytes";
    EXPECT_EQ(std::vector<std::string>{"pcg-file.bin"}, FilesIn(dir_.Path()));
    EXPECT_EQ(1u, WaitForLogLines(Env("HTTP_NGINX_ACCESS_LOG"), "GET /pcg-file.bin?access_token=tok 200", 1));
}

// Up to 30 s on a busy machine: 4 GiB go through the socket and onto the disk.
TEST_F(PcgComDownload, PastFourGiBStreamsToDiskInFlatMemory) {
    const long long size = 4294967296LL + (1 << 20) + 5;
    const FileMarks marks = MarksAstrideFourGiB(size);
    ASSERT_TRUE(WriteSparse(NginxFile("huge.bin"), size, marks));
    const std::string file = dir_ / "huge.bin";  // written whole: 4 GiB of disk until the end
    const size_t peak = PeakWorkingSet();
    ComPtr<RecordingSink> sink = Adopt(new RecordingSink());
    VARIANT_BOOL started = VARIANT_FALSE;
    ASSERT_EQ(S_OK, Trans("tok", sink.Get())->DownLoad(Bstr(NginxUrl("huge.bin")).Get(), Bstr(file).Get(), &started));
    EXPECT_TRUE(sink->Wait(240000));
    EXPECT_EQ(kFinished, sink->Names());
    EXPECT_LT(PeakWorkingSet() - peak, 64u << 20);
    EXPECT_EQ(size, FileSize(file));
    for (const auto& mark : marks) EXPECT_EQ(mark.second, ReadAt(file, mark.first, mark.second.size())) << mark.first;
    EXPECT_TRUE(DeleteFileA(NginxFile("huge.bin").c_str()));
    EXPECT_TRUE(DeleteFileA(file.c_str()));
}

TEST_F(PcgComDownload, AnyCompleteSuccessIsWrittenWhole) {
    struct Case {
        const char* path;
        std::string body;
    };
    for (const Case& c : {Case{"/ok/short", "body:short"},
                          Case{"/empty", ""}, Case{"/chunked", "chunk-one|chunk-two"},
                          Case{"/untilclose", "all of it until close"}}) {
        SCOPED_TRACE(c.path);
        const std::string file = dir_ / "answer.txt";
        WriteFile(file, std::string(5000, 'x'));  // replaced whole, never appended to
        EXPECT_EQ(kFinished, Run(OwnUrl(c.path), file));
        EXPECT_EQ(c.body, ReadFile(file));
    }
}

TEST_F(PcgComDownload, RequestCarriesTokenInQueryAndCookie) {
    ForgetRecordedRequests("PCG_COM_HTTP_REQUESTS");
    const std::string file = dir_ / "t.txt";
    EXPECT_EQ(kFinished, Run(OwnUrl("/ok/q?x=1"), file, "T0K"));
    // A transfer object straight from its factory has an empty token.
    ComPtr<RecordingSink> sink = Adopt(new RecordingSink());
    ComPtr<INetFileTrans> bare = dll_.Create<INetFileTrans>(CLSID_NetFileTrans);
    ASSERT_TRUE(bare);
    bare->put_Progress(sink.Get());
    VARIANT_BOOL started = VARIANT_FALSE;
    ASSERT_EQ(S_OK, bare->DownLoad(Bstr(OwnUrl("/ok/bare")).Get(), Bstr(file).Get(), &started));
    ASSERT_TRUE(sink->Wait());

    auto requests = RecordedRequests("PCG_COM_HTTP_REQUESTS");
    ASSERT_EQ(2u, requests.size());
    auto first = Lines(requests[0]);
    EXPECT_EQ("GET /ok/q?x=1?access_token=T0K HTTP/1.0", first[0]);
    EXPECT_EQ(1u, CountContaining(first, "Cookie: T0K"));
    auto second = Lines(requests[1]);
    EXPECT_EQ("GET /ok/bare?access_token= HTTP/1.0", second[0]);
    EXPECT_EQ(0u, CountContaining(second, "Cookie:"));
}

TEST_F(PcgComDownload, FailuresLeaveTheFileUntouched) {
    const std::string refused = "http://127.0.0.1:" + Env("PCG_COM_REFUSED_PORT") + "/x";
    DebugOutputCapture output;
    // An error page is no file either; the reason reaches the debugger's output.
    for (const auto& row : std::vector<std::pair<std::string, std::string>>{
             {refused, "Connect"}, {OwnUrl("/nostatus"), "BadStatusLine"}, {OwnUrl("/badchunk"), "BadChunk"},
             {OwnUrl("/absurdlength"), "BadContentLength"}, {OwnUrl("/endlessheader"), "HeaderTooLarge"},
             {OwnUrl("/notfound"), "HTTP/1.0 404 Not Found"}, {OwnUrl("/servererror"), "HTTP/1.1 500 Internal Server Error"}}) {
        const std::string& url = row.first;
        SCOPED_TRACE(url);
        output.Take();
        const std::string kept = dir_ / "kept.txt";
        WriteFile(kept, "old content");
        ComPtr<RecordingSink> sink = Adopt(new RecordingSink());
        ComPtr<INetFileTrans> trans = Trans("tok", sink.Get());
        VARIANT_BOOL started = VARIANT_FALSE;
        ASSERT_EQ(S_OK, trans->DownLoad(Bstr(url).Get(), Bstr(kept).Get(), &started));
        ASSERT_TRUE(sink->Wait());
        auto events = sink->Events();
        ASSERT_EQ(2u, events.size());
        EXPECT_EQ("OnFail", events[1].name);
        EXPECT_EQ(0, events[1].code);
        EXPECT_EQ("old content", ReadFile(kept));
        EXPECT_NE(std::string::npos, output.Take().find("Parcelgate: request failed: " + row.second));

        const std::string fresh = dir_ / "fresh.txt";
        EXPECT_EQ(kFailed, Run(url, fresh));
        EXPECT_FALSE(FileExists(fresh));
        // Nothing of the broken answer is left beside the target either.
        EXPECT_EQ(std::vector<std::string>{"kept.txt"}, FilesIn(dir_.Path()));
    }
}

TEST_F(PcgComDownload, RedirectsAreFollowedFiveTimesAndTheTokenStaysWithItsOrigin) {
    const std::string own = "127.0.0.1:" + Env("PCG_COM_HTTP_PORT");
    WriteFile(NginxFile("moved.bin"), "moved content");
    DebugOutputCapture output;
    // The path, the body written ("" for a failure), what the debugger's output says.
    for (const auto& c : std::vector<std::array<std::string, 3>>{
             {"/to/302/" + own + "/ok/same", "body:same", "redirect 302 to http://" + own + "/ok/same\n"},
             {"/to/307/localhost:" + Env("PCG_COM_HTTP_PORT") + "/ok/other", "body:other", "redirect 307"},
             {"/to/301/127.0.0.1:" + Env("HTTP_NGINX_PORT") + "/moved.bin", "moved content", "301"},
             {"/hops/5", "body:landed", "/hops/1"},
             {"/hops/6", "", "RedirectRefused: more than 5 redirects"},
             {"/to/303/" + own + "/notfound", "", "HTTP/1.0 404 Not Found"}}) {
        SCOPED_TRACE(c[0]);
        ForgetRecordedRequests("PCG_COM_HTTP_REQUESTS");
        output.Take();
        WriteFile(dir_ / "moved.txt", "old content");
        EXPECT_EQ(c[1].empty() ? kFailed : kFinished, Run(OwnUrl(c[0]), dir_ / "moved.txt", "T0K"));
        EXPECT_EQ(c[1].empty() ? "old content" : c[1], ReadFile(dir_ / "moved.txt"));
        const std::string said = output.Take();
        EXPECT_TRUE(said.find(c[2]) != std::string::npos && said.find("sig=secret") == std::string::npos) << said;
        // The token's cookie went to 127.0.0.1 each time, never to localhost.
        for (const std::string& request : RecordedRequests("PCG_COM_HTTP_REQUESTS"))
            EXPECT_EQ(CountContaining(Lines(request), "Host: 127.0.0.1:"), CountContaining(Lines(request), "Cookie: T0K"));
    }
}

TEST_F(PcgComDownload, RequestLineBreakersAreRefusedBeforeAnyRequest) {
    // Sent as they are, a space or a control byte would split the request
    // line; the server's 400 page would then be written as the file.
    struct Case {
        std::string url;
        std::string token;
    };
    const Case cases[] = {
        {OwnUrl("/ok/two words"), "tok"},
        {OwnUrl("/ok/del\x7f"), "tok"},
        {OwnUrl("/ok/x HTTP/1.0\r\nX-Forged: 1\r\n\r\nGET /ok/y"), "tok"},
        {OwnUrl("/ok/token"), "to ken"},
        // Another reader of the URL would find another host in it.
        {"http://u:p@127.0.0.1:" + Env("PCG_COM_HTTP_PORT") + "/ok/x", "tok"},
        {"http://localhost#@127.0.0.1:" + Env("PCG_COM_HTTP_PORT") + "/ok/x", "tok"},
    };
    ForgetRecordedRequests("PCG_COM_HTTP_REQUESTS");
    const std::string kept = dir_ / "kept.txt";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url + " token " + c.token);
        WriteFile(kept, "old content");
        EXPECT_EQ(kFailed, Run(c.url, kept, c.token));
        EXPECT_EQ("old content", ReadFile(kept));
    }
    EXPECT_TRUE(RecordedRequests("PCG_COM_HTTP_REQUESTS").empty());
    EXPECT_EQ(std::vector<std::string>{"kept.txt"}, FilesIn(dir_.Path()));
}

TEST_F(PcgComDownload, WritesThatFailLateOrAtOnceLeaveTheTargetAsItWas) {
    if (!Env("LATE_WRITE_SKIP").empty()) GTEST_SKIP() << Env("LATE_WRITE_SKIP");
    const std::string directory = Env("LATE_WRITE_DIR");
    ASSERT_FALSE(directory.empty()) << "run under with_peers.py --late-write";
    struct Case {
        const char* name;
        size_t size;
    };
    // 16 MiB fit the file system, so every write succeeds; only flushing them
    // fails. 96 MiB do not fit: a write fails on the way.
    for (const Case& c : {Case{"late.bin", 16u << 20}, Case{"at-once.bin", 96u << 20}}) {
        SCOPED_TRACE(c.name);
        WriteFile(NginxFile(c.name), std::string(c.size, 'd'));
        const std::string target = directory + "\\target.bin";
        WriteFile(target, "old content");
        EXPECT_EQ(kFailed, Run(NginxUrl(c.name), target));
        EXPECT_EQ("old content", ReadFile(target));
        std::vector<std::string> left = FilesIn(directory);
        left.erase(std::remove(left.begin(), left.end(), "lost+found"), left.end());
        EXPECT_EQ(std::vector<std::string>{"target.bin"}, left);
        DeleteFileA(NginxFile(c.name).c_str());
    }
}

TEST_F(PcgComDownload, FileThatCannotBeWrittenFails) {
    // A directory of that name: the body arrives, the write fails.
    const std::string directory = dir_ / "a-directory";
    CreateDirectoryA(directory.c_str(), nullptr);
    EXPECT_EQ(kFailed, Run(OwnUrl("/ok/x"), directory));
    EXPECT_EQ(kFailed, Run(OwnUrl("/ok/x"), dir_ / "no-such-dir\\f.txt"));
    EXPECT_EQ(kFailed, Run(OwnUrl("/ok/x"), ""));

    // A NULL file name is an empty one.
    ComPtr<RecordingSink> sink = Adopt(new RecordingSink());
    ComPtr<INetFileTrans> trans = Trans("tok", sink.Get());
    VARIANT_BOOL started = VARIANT_FALSE;
    ASSERT_EQ(S_OK, trans->DownLoad(Bstr(OwnUrl("/ok/x")).Get(), nullptr, &started));
    EXPECT_EQ(VARIANT_TRUE, started);
    ASSERT_TRUE(sink->Wait());
    EXPECT_EQ(kFailed, sink->Names());
}

TEST_F(PcgComDownload, WithoutSinkStillWrites) {
    ComPtr<INetFileTrans> trans = Trans("tok", nullptr);
    const std::string file = dir_ / "silent.txt";
    VARIANT_BOOL started = VARIANT_FALSE;
    ASSERT_EQ(S_OK, trans->DownLoad(Bstr(OwnUrl("/ok/silent")).Get(), Bstr(file).Get(), &started));
    ASSERT_EQ(VARIANT_TRUE, started);
    for (int i = 0; i < 1000 && ReadFile(file) != "body:silent"; ++i) Sleep(10);
    EXPECT_EQ("body:silent", ReadFile(file));
}

TEST_F(PcgComDownload, FailingBeginStopsBeforeTheRequest) {
    ForgetRecordedRequests("PCG_COM_HTTP_REQUESTS");
    ComPtr<RecordingSink> sink = Adopt(new RecordingSink(/*failBegin=*/true));
    ComPtr<INetFileTrans> trans = Trans("tok", sink.Get());
    VARIANT_BOOL started = VARIANT_FALSE;
    ASSERT_EQ(S_OK, trans->DownLoad(Bstr(OwnUrl("/ok/never")).Get(), Bstr(dir_ / "never.txt").Get(), &started));
    trans.Reset();
    ASSERT_TRUE(sink->Wait());
    EXPECT_TRUE(sink->WaitForReferences(1));
    EXPECT_EQ((Events{"OnBegin"}), sink->Names());
    EXPECT_TRUE(RecordedRequests("PCG_COM_HTTP_REQUESTS").empty());
    EXPECT_FALSE(FileExists(dir_ / "never.txt"));
}

TEST_F(PcgComDownload, SinkIsTakenWhenTheDownloadStarts) {
    ComPtr<RecordingSink> first = Adopt(new RecordingSink());
    ComPtr<RecordingSink> second = Adopt(new RecordingSink());
    ComPtr<INetFileTrans> trans = Trans("tok", first.Get());
    VARIANT_BOOL started = VARIANT_FALSE;
    ASSERT_EQ(S_OK, trans->DownLoad(Bstr(OwnUrl("/ok/a")).Get(), Bstr(dir_ / "a.txt").Get(), &started));
    trans->put_Progress(second.Get());
    ASSERT_TRUE(first->Wait());
    EXPECT_EQ(kFinished, first->Names());
    EXPECT_TRUE(second->Events().empty());

    // Several at once from one transfer object.
    std::vector<std::string> files;
    for (int i = 0; i < 4; ++i) {
        files.push_back(dir_ / ("many" + std::to_string(i) + ".txt"));
        ASSERT_EQ(S_OK, trans->DownLoad(Bstr(OwnUrl("/ok/m" + std::to_string(i))).Get(), Bstr(files.back()).Get(),
                                        &started));
    }
    trans.Reset();
    ASSERT_TRUE(second->WaitForReferences(1));
    EXPECT_EQ(8u, second->Events().size());
    for (int i = 0; i < 4; ++i) EXPECT_EQ("body:m" + std::to_string(i), ReadFile(files[static_cast<size_t>(i)]));
}

TEST_F(PcgComDownload, ManyAtOnceThenTheDllUnloads) {
    const std::string content = Pattern(200 * 1024, 9);
    WriteFile(NginxFile("many.bin"), content);
    std::vector<ComPtr<RecordingSink>> sinks;
    {
        std::vector<ComPtr<INetFileTrans>> transfers;
        for (int t = 0; t < 4; ++t) transfers.push_back(Trans("m" + std::to_string(t), nullptr));
        for (int i = 0; i < 32; ++i) {
            sinks.push_back(Adopt(new RecordingSink()));
            INetFileTrans* trans = transfers[static_cast<size_t>(i % 4)].Get();
            trans->put_Progress(sinks.back().Get());
            VARIANT_BOOL started = VARIANT_FALSE;
            ASSERT_EQ(S_OK, trans->DownLoad(Bstr(NginxUrl("many.bin")).Get(),
                                            Bstr(dir_ / ("many" + std::to_string(i) + ".bin")).Get(), &started));
            ASSERT_EQ(VARIANT_TRUE, started);
        }
    }
    engine_.Reset();
    dll_.Release();  // only the running workers keep it loaded now
    for (size_t i = 0; i < sinks.size(); ++i) {
        ASSERT_TRUE(sinks[i]->Wait()) << i;
        EXPECT_EQ(kFinished, sinks[i]->Names()) << i;
        EXPECT_TRUE(sinks[i]->WaitForReferences(1)) << i;
        EXPECT_TRUE(content == ReadFile(dir_ / ("many" + std::to_string(i) + ".bin"))) << i;
    }
    for (int i = 0; i < 500 && GetModuleHandleA("Parcelgate.dll"); ++i) Sleep(10);
    EXPECT_EQ(nullptr, GetModuleHandleA("Parcelgate.dll"));
}

TEST_F(PcgComDownload, ThroughTheProxy) {
    ForgetRecordedRequests("PCG_COM_HTTP_REQUESTS");
    VARIANT_BOOL stored = VARIANT_FALSE;
    ASSERT_EQ(S_OK, engine_->LoadProxyInfo(Bstr(L"127.0.0.1").Get(), Bstr(Env("PCG_COM_HTTP_PORT")).Get(),
                                           Bstr(L"pu").Get(), Bstr(L"pw").Get(), &stored));
    EXPECT_EQ(VARIANT_TRUE, stored);
    const std::string file = dir_ / "proxied.txt";
    EXPECT_EQ(kFinished, Run("http://far.example/ok/proxied", file));
    EXPECT_EQ("body:proxied", ReadFile(file));

    // An empty host means no proxy, whatever else is set.
    ASSERT_EQ(S_OK, engine_->LoadProxyInfo(Bstr(L"").Get(), Bstr(L"1").Get(), Bstr(L"u").Get(), Bstr(L"p").Get(),
                                           &stored));
    EXPECT_EQ(kFinished, Run(OwnUrl("/ok/direct"), file));

    auto requests = RecordedRequests("PCG_COM_HTTP_REQUESTS");
    ASSERT_EQ(2u, requests.size());
    auto proxied = Lines(requests[0]);
    EXPECT_EQ("GET http://far.example/ok/proxied?access_token=tok HTTP/1.0", proxied[0]);
    EXPECT_EQ(1u, CountContaining(proxied, "Proxy-Authorization: Basic " + EncodeBase64("pu:pw")));
    EXPECT_EQ("GET /ok/direct?access_token=tok HTTP/1.0", Lines(requests[1])[0]);
}

TEST_F(PcgComDownload, LateBoundByNameAndId) {
    ComPtr<RecordingSink> sink = Adopt(new RecordingSink());
    ComPtr<IDispatch> trans;
    ASSERT_EQ(S_OK, Trans("late", nullptr).As(&trans));

    // Progress put by name, with the sink as a plain IUnknown.
    DISPID progress = DISPID_UNKNOWN;
    LPOLESTR progressName[] = {const_cast<LPOLESTR>(L"Progress")};
    ASSERT_EQ(S_OK, trans->GetIDsOfNames(IID_NULL, progressName, 1, LOCALE_USER_DEFAULT, &progress));
    VARIANT sinkArg;
    VariantInit(&sinkArg);
    sinkArg.vt = VT_UNKNOWN;
    sinkArg.punkVal = static_cast<INetFileProgress*>(sink.Get());
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put = {&sinkArg, &named, 1, 1};
    UINT argError = 0;
    ASSERT_EQ(S_OK, trans->Invoke(progress, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &put, nullptr,
                                  nullptr, &argError));

    DISPID download = DISPID_UNKNOWN;
    LPOLESTR downloadName[] = {const_cast<LPOLESTR>(L"download")};
    ASSERT_EQ(S_OK, trans->GetIDsOfNames(IID_NULL, downloadName, 1, LOCALE_USER_DEFAULT, &download));
    EXPECT_EQ(201, download);

    const std::string content = Pattern(4096, 3);
    WriteFile(NginxFile("late.bin"), content);
    int round = 0;
    for (DISPID id : {download, DISPID(201)}) {
        const std::string file = dir_ / ("late" + std::to_string(round++) + ".bin");
        Bstr url(NginxUrl("late.bin"));
        Bstr name(file);
        VARIANT args[2];  // reversed: file, then URL
        VariantInit(&args[0]);
        args[0].vt = VT_BSTR;
        args[0].bstrVal = name.Get();
        VariantInit(&args[1]);
        args[1].vt = VT_BSTR;
        args[1].bstrVal = url.Get();
        DISPPARAMS params = {args, nullptr, 2, 0};
        VARIANT result;
        VariantInit(&result);
        ASSERT_EQ(S_OK, trans->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr,
                                      &argError));
        EXPECT_EQ(VT_BOOL, result.vt);
        EXPECT_EQ(VARIANT_TRUE, result.boolVal);
        for (int i = 0; i < 1000 && sink->Events().size() < 2u * round; ++i) Sleep(10);
        EXPECT_TRUE(content == ReadFile(file)) << ReadFile(file).size() << " bytes";
    }
    EXPECT_EQ((Events{"OnBegin", "OnFinish", "OnBegin", "OnFinish"}), sink->Names());
    EXPECT_EQ(2u, WaitForLogLines(Env("HTTP_NGINX_ACCESS_LOG"), "GET /late.bin?access_token=late 200", 2));
}

}  // namespace
