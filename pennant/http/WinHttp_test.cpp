#include "http/WinHttp.h"

#include "HttpPeers.h"
#include "LogCapture.h"
#include "http/HttpTasks.h"

#include <gtest/gtest.h>

using namespace pennant;
using namespace testing_support;

namespace {

// Every test of this executable starts with empty peer records.
const bool peerHistoryReset = ResetPeersBeforeEachTest();

}  // namespace

TEST(CrackUrl, SplitsPartsAndSuppliesTheSchemesDefaultPort) {
    UrlParts parts;
    ASSERT_EQ(0, CrackUrl(L"http://example.com/dl/setup.exe?a=1&b=2", &parts));
    EXPECT_EQ(L"http", parts.scheme);
    EXPECT_EQ(L"example.com", parts.host);
    EXPECT_EQ(80, parts.port);
    EXPECT_EQ(L"/dl/setup.exe", parts.path);
    EXPECT_EQ(L"?a=1&b=2", parts.query);

    ASSERT_EQ(0, CrackUrl(L"https://example.com:8443/x", &parts));
    EXPECT_EQ(L"https", parts.scheme);
    EXPECT_EQ(8443, parts.port);
    EXPECT_EQ(L"", parts.query);

    ASSERT_EQ(0, CrackUrl(L"https://example.com/y", &parts));
    EXPECT_EQ(443, parts.port);
}

TEST(CrackUrl, FailureLogsAndLeavesPartsUntouched) {
    pennant_test::LogCapture log;
    UrlParts parts;
    parts.host = L"kept";
    EXPECT_EQ(-1, CrackUrl(L"not a url", &parts));
    EXPECT_EQ(L"kept", parts.host);
    EXPECT_TRUE(log.Contains("WinHttpCrackUrl failed, errno = "));
}

TEST(IsSuccessStatus, AcceptsTwoHundredsOnly) {
    for (DWORD ok : {200u, 206u, 299u}) EXPECT_TRUE(IsSuccessStatus(ok)) << ok;
    for (DWORD bad : {199u, 300u, 301u, 302u, 303u, 304u, 307u, 404u, 416u, 500u})
        EXPECT_FALSE(IsSuccessStatus(bad)) << bad;
}

TEST(ParseContentRange, ScansFromTheLastBlankOrTheWholeValue) {
    int64_t first = -9, last = -9, total = -9;
    ASSERT_EQ(0, ParseContentRange(L"bytes 0-99/100", &first, &last, &total));
    EXPECT_EQ(0, first);
    EXPECT_EQ(99, last);
    EXPECT_EQ(100, total);
    ASSERT_EQ(0, ParseContentRange(L"1048576-5242879/5242880", &first, &last, &total));
    EXPECT_EQ(1048576, first);
    EXPECT_EQ(5242880, total);
    ASSERT_EQ(0, ParseContentRange(L"bytes 4294967296-8589934591/8589934592", &first, &last,
                                   &total));
    EXPECT_EQ(8589934592LL, total);
    EXPECT_EQ(-1, ParseContentRange(L"bytes */100", &first, &last, &total));
    EXPECT_EQ(-1, ParseContentRange(L"", &first, &last, &total));
    EXPECT_EQ(-1, ParseContentRange(L"bytes 1-2", &first, &last, &total));
}

TEST(WinHttpHandle, CloseOfANeverOpenedOwnerIsHarmlessAndRepeatable) {
    WinHttpRequest request;
    EXPECT_EQ(0, request.Close());
    WinHttpSession session;
    ASSERT_EQ(0, session.Open());
    EXPECT_TRUE(session.IsOpen());
    EXPECT_NE(0, session.Close());
    EXPECT_FALSE(session.IsOpen());
    EXPECT_EQ(0, session.Close());
}

// One exchange by hand, the way the tasks drive the owners.
class OwnerExchange : public ::testing::Test {
protected:
    int Get(const std::string& url, const wchar_t* verb = L"GET") {
        UrlParts parts;
        if (CrackUrl(std::wstring(url.begin(), url.end()), &parts) != 0) return -1;
        if (session.Open() != 0 || connection.Connect(session, parts.host, parts.port) != 0)
            return -2;
        if (request.Open(connection, verb, parts.path + parts.query, false) != 0) return -2;
        request.SetTimeouts();
        if (request.Send(nullptr, 0, 0) != 0 || request.ReceiveResponse() != 0) return -2;
        return 0;
    }
    pennant_test::LogCapture log;
    WinHttpSession session;
    WinHttpConnection connection;
    WinHttpRequest request;
};

TEST_F(OwnerExchange, ReadsNginxValidatorsAndTheRangeOfAPartialAnswer) {
    WriteFile(NginxFile("v.bin"), Pattern(5000));
    SetUnixMTime(NginxFile("v.bin"), 1700000000);
    UrlParts parts;
    const std::string url = NginxUrl("v.bin");
    ASSERT_EQ(0, CrackUrl(std::wstring(url.begin(), url.end()), &parts));
    ASSERT_EQ(0, session.Open());
    ASSERT_EQ(0, connection.Connect(session, parts.host, parts.port));
    ASSERT_EQ(0, request.Open(connection, L"GET", parts.path, false));
    ASSERT_EQ(0, request.AddRangeHeader(1000));
    ASSERT_EQ(0, request.Send(nullptr, 0, 0));
    ASSERT_EQ(0, request.ReceiveResponse());

    DWORD status = 0;
    int64_t length = 0;
    ASSERT_EQ(0, request.QueryStatusCode(&status));
    EXPECT_EQ(206u, status);
    ASSERT_EQ(0, request.QueryContentLength(&length));
    EXPECT_EQ(4000, length);
    int64_t first = 0, last = 0, total = 0;
    ASSERT_EQ(0, request.QueryContentRange(&first, &last, &total));
    EXPECT_EQ(1000, first);
    EXPECT_EQ(4999, last);
    EXPECT_EQ(5000, total);
    std::string etag;
    ASSERT_EQ(0, request.QueryETag(&etag));
    EXPECT_EQ("\"6553f100-1388\"", etag);  // quotes kept, as nginx sent them
    int64_t lastModified = 0;
    ASSERT_EQ(0, request.QueryLastModified(&lastModified));
    // The same calendar fields through mktime: equal for equal headers.
    struct tm fields = {};
    fields.tm_year = 2023 - 1900;
    fields.tm_mon = 10;
    fields.tm_mday = 14;
    fields.tm_hour = 22;
    fields.tm_min = 13;
    fields.tm_sec = 20;
    EXPECT_EQ(_mktime64(&fields), lastModified);
    EXPECT_NE(std::string::npos, NginxAccessLines().back().find("\"bytes=1000-\""));
}

TEST_F(OwnerExchange, MissingHeadersLogTheInfoLevelAndFail) {
    ASSERT_EQ(0, Get(FaultPath("/garbage/none")));  // a 404 without validators
    std::string etag = "kept";
    int64_t lastModified = 7, first, last, total;
    EXPECT_EQ(-1, request.QueryETag(&etag));
    EXPECT_EQ("kept", etag);
    EXPECT_EQ(-1, request.QueryLastModified(&lastModified));
    EXPECT_EQ(-1, request.QueryContentRange(&first, &last, &total));
    char expected[80];
    snprintf(expected, sizeof expected, "WinHttpQueryHeaders failed, flag = 0x%x, errno = ",
             static_cast<unsigned>(WINHTTP_QUERY_ETAG));
    EXPECT_TRUE(log.Contains(expected));
    snprintf(expected, sizeof expected, "WinHttpQueryHeaders failed, flag = 0x%x, errno = ",
             static_cast<unsigned>(WINHTTP_QUERY_LAST_MODIFIED | WINHTTP_QUERY_FLAG_SYSTEMTIME));
    EXPECT_TRUE(log.Contains(expected));
}

TEST_F(OwnerExchange, FailedResponseDumpsHeadersAndBody) {
    ASSERT_EQ(0, Get(FaultUrl("status=500", "x")));
    request.LogRawHeaders();
    request.LogBody();
    const std::string text = log.Text();
    EXPECT_NE(std::string::npos, text.find("HTTP/1.1 500 Internal Server Error"));
    EXPECT_NE(std::string::npos, text.find("   25 : <html>status page</html>"));
}

TEST_F(OwnerExchange, EmptyFailedBodyLogsHeadersOnly) {
    WriteFile(FaultFile("x"), "abc");
    ASSERT_EQ(0, Get(FaultUrl("always416=1", "x")));
    request.LogRawHeaders();
    request.LogBody();
    const std::string text = log.Text();
    EXPECT_NE(std::string::npos, text.find("416 Range Not Satisfiable"));
    EXPECT_EQ(std::string::npos, text.find(" : "));
}

TEST_F(OwnerExchange, RequestHeadersGoOutAsWritten) {
    UrlParts parts;
    const std::string url = FaultPath("/api/record/feedback");
    ASSERT_EQ(0, CrackUrl(std::wstring(url.begin(), url.end()), &parts));
    ASSERT_EQ(0, session.Open());
    ASSERT_EQ(0, connection.Connect(session, parts.host, parts.port));
    ASSERT_EQ(0, request.Open(connection, L"POST", parts.path, false));
    ASSERT_EQ(0, request.AddRangeHeader(1048576));
    ASSERT_EQ(0, request.AddConnectionCloseHeader());
    ASSERT_EQ(0, request.AddFormContentTypeHeader());
    ASSERT_EQ(0, request.Send("a=b", 3, 3));
    ASSERT_EQ(0, request.ReceiveResponse());
    const auto seen = RecordedRequests("HTTP_FAULT_REQUESTS");
    ASSERT_EQ(1u, seen.size());
    EXPECT_NE(std::string::npos, seen[0].find("\r\nRange: bytes=1048576-\r\n"));
    EXPECT_NE(std::string::npos, seen[0].find("\r\nConnection: close\r\n"));
    EXPECT_NE(std::string::npos,
              seen[0].find("\r\nContent-Type: application/x-www-form-urlencoded;charset=ISO-8859-1\r\n"));
    EXPECT_NE(std::string::npos, seen[0].find("\r\nUser-Agent: WinHTTP dovazidero/1.0\r\n"));
}

TEST(SecureScheme, HttpsUrlIsNeverAnsweredAsPlainHttp) {
    pennant_test::LogCapture log;
    WriteFile(FaultFile("setup.exe"), Pattern(1000));
    const std::string url =
        "https://127.0.0.1:" + Env("HTTP_FAULT_PORT") + "/f/-/setup.exe";
    TempDir dir("sec");
    HttpDownloader downloader;
    ASSERT_EQ(0, downloader.Open(std::wstring(url.begin(), url.end())));
    DWORD status = 0;
    EXPECT_EQ(-2, downloader.Download(dir / "setup.exe", &status));
    EXPECT_EQ(0u, status);
    EXPECT_EQ(0, FileSize(dir / "setup.exe"));
    for (const auto& seen : RecordedRequests("HTTP_FAULT_REQUESTS"))
        EXPECT_NE(0u, seen.rfind("GET ", 0)) << "a plain GET reached the server";
}
