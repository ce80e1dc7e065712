#include "http/HttpTasks.h"

#include "HttpPeers.h"
#include "LogCapture.h"
#include "app/Codes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

using namespace pennant;
using namespace testing_support;

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Remembers every progress call; cancels after `cancelAfter` calls (0: never).
class RecordingNotify : public HttpLoadNotify {
public:
    void OnProgress(int64_t done, int64_t total) override {
        calls.push_back({done, total});
    }
    bool IsCancelled() override { return cancelAfter > 0 && calls.size() >= cancelAfter; }
    std::vector<std::pair<int64_t, int64_t>> calls;
    size_t cancelAfter = 0;
};

class Download : public ::testing::Test {
protected:
    int Run(const std::string& url, DWORD* status = nullptr) {
        HttpDownloader downloader(&notify);
        int result = downloader.Open(Wide(url));
        if (result < 0) return result;
        DWORD local = 0;
        result = downloader.Download(target, status ? status : &local);
        refused = downloader.RangeRefused();
        return result;
    }
    bool refused = false;
    pennant_test::LogCapture log;
    TempDir dir{"dl"};
    std::string target = dir / "setup.exe";
    RecordingNotify notify;
};

}  // namespace

TEST_F(Download, FreshFileWithoutRangeThenResumeWithRange) {
    const std::string content = Pattern(3 * DownloadChunkSize + 777);
    WriteFile(NginxFile("setup.exe"), content);
    DWORD status = 0;
    ASSERT_EQ(0, Run(NginxUrl("setup.exe?x=1"), &status));
    EXPECT_EQ(200u, status);
    EXPECT_EQ(content, ReadFile(target));

    WriteFile(target, content.substr(0, 123457));
    ASSERT_EQ(0, Run(NginxUrl("setup.exe"), &status));
    EXPECT_EQ(206u, status);
    EXPECT_EQ(content, ReadFile(target));

    const auto access = NginxAccessLines();
    ASSERT_EQ(2u, access.size());
    EXPECT_EQ("GET /setup.exe?x=1 200 " + std::to_string(content.size()) + " \"-\"", access[0]);
    EXPECT_NE(std::string::npos, access[1].find(" 206 "));
    EXPECT_NE(std::string::npos, access[1].find("\"bytes=123457-\""));
}

TEST_F(Download, ProgressOncePerWholePercentNeverDecreasing) {
    const std::string content = Pattern(8 * 1024 * 1024 + 5);
    WriteFile(FaultFile("big.bin"), content);
    WriteFile(target, content.substr(0, 3 * 1024 * 1024));
    ASSERT_EQ(0, Run(FaultUrl("-", "big.bin")));
    EXPECT_EQ(content, ReadFile(target));
    ASSERT_FALSE(notify.calls.empty());
    // A resumed download reports the whole-file percent from its first call.
    EXPECT_GE(notify.calls.front().first * 100 / notify.calls.front().second, 37);
    int64_t lastPercent = 0;
    for (const auto& call : notify.calls) {
        EXPECT_EQ(static_cast<int64_t>(content.size()), call.second);
        const int64_t percent = call.first * 100 / call.second;
        EXPECT_GT(percent, lastPercent);
        lastPercent = percent;
    }
    EXPECT_EQ(100, lastPercent);
    EXPECT_LE(notify.calls.size(), 64u);
}

TEST_F(Download, CutConnectionKeepsEveryReceivedByte) {
    const std::string content = Pattern(2 * 1024 * 1024);
    WriteFile(FaultFile("cut.bin"), content);
    EXPECT_EQ(-2, Run(FaultUrl("cut=700000", "cut.bin")));
    const std::string part = ReadFile(target);
    EXPECT_GT(part.size(), 0u);
    EXPECT_LE(part.size(), 700000u);
    EXPECT_EQ(content.substr(0, part.size()), part);
    // The next run continues where the file ends.
    ASSERT_EQ(0, Run(FaultUrl("-", "cut.bin")));
    EXPECT_EQ(content, ReadFile(target));
    const auto seen = RecordedRequests("HTTP_FAULT_REQUESTS");
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(std::string::npos, seen[0].find("Range:"));
    EXPECT_NE(std::string::npos, seen[1].find("Range: bytes=" + std::to_string(part.size()) + "-\r\n"));
}

TEST_F(Download, CancelTakesEffectAfterTheChunkIsOnDisk) {
    const std::string content = Pattern(4 * 1024 * 1024);
    WriteFile(NginxFile("c.bin"), content);
    notify.cancelAfter = 1;
    EXPECT_EQ(-3, Run(NginxUrl("c.bin")));
    const std::string part = ReadFile(target);
    EXPECT_GT(part.size(), 0u);
    EXPECT_LT(part.size(), content.size());
    EXPECT_EQ(content.substr(0, part.size()), part);
    const std::string text = log.Text();
    EXPECT_NE(std::string::npos,
              text.find("http get " + std::to_string(part.size()) + " / 4194304, "));
}

TEST_F(Download, NotFoundLogsHeadersAndBody) {
    DWORD status = 0;
    EXPECT_EQ(-1, Run(FaultUrl("status=404", "nothing"), &status));
    EXPECT_EQ(404u, status);
    EXPECT_TRUE(log.Contains("HTTP/1.1 404 Not Found"));
    EXPECT_TRUE(log.Contains(" : <html>status page</html>"));
    EXPECT_EQ(0, FileSize(target));
}

TEST_F(Download, EmptyBodyReturnsAtOnceWithoutProgress) {
    WriteFile(NginxFile("empty.bin"), "");
    EXPECT_EQ(0, Run(NginxUrl("empty.bin")));
    EXPECT_TRUE(notify.calls.empty());
    EXPECT_EQ(0, FileSize(target));
}

TEST_F(Download, RangeAnswersThatCannotBeTrustedLeaveThePartFileAlone) {
    const std::string content = Pattern(300000);
    WriteFile(FaultFile("r.bin"), content);
    const std::string good = content.substr(0, 100000);
    struct Case {
        const char* options;
        const char* logLine;
        bool refused;  // the part file cannot be continued from this server
    } cases[] = {
        {"range=ignore", "range request from 100000 answered with the whole file", true},
        {"range=missing", "WinHttpQueryHeaders failed, flag = 0x", false},  // 206 without it
        {"range=garbage", nullptr, false},                                  // does not scan
        {"range=shift", "offset unmatch 101000 != 100000", true},           // starts elsewhere
        {"range=back", "offset unmatch 99000 != 100000", true},             // starts early
    };
    for (const auto& c : cases) {
        WriteFile(target, good);
        EXPECT_EQ(-1, Run(FaultUrl(c.options, "r.bin"))) << c.options;
        EXPECT_EQ(c.refused, refused) << c.options;
        EXPECT_EQ(good, ReadFile(target)) << c.options;
        if (c.logLine) {
            EXPECT_TRUE(log.Contains(c.logLine)) << c.options;
        }
    }
}

TEST_F(Download, RedirectNotFollowedByWinHttpIsAFailureEverywhere) {
    WriteFile(FaultFile("x.bin"), Pattern(1000));
    // WinHTTP follows 301, 302, 303, 307 and 308 itself.
    for (const char* status : {"300", "304", "305"}) {
        const std::string url = FaultUrl(std::string("status=") + status, "x.bin");
        DWORD seen = 0;
        DeleteFileA(target.c_str());
        EXPECT_EQ(-1, Run(url, &seen)) << status;
        EXPECT_EQ(static_cast<DWORD>(atoi(status)), seen);
        EXPECT_EQ(0, FileSize(target)) << status;

        uint64_t size = 0;
        std::string etag;
        int64_t lastModified = 0;
        EXPECT_EQ(-1, QueryResourceInfo(url, &size, &etag, &lastModified)) << status;
        EXPECT_EQ(0u, size) << status;

        std::string logo = "unset";
        EXPECT_EQ(-1, DownloadToTempFile(url, &logo)) << status;
        EXPECT_EQ("", logo) << status;

        HttpPoster poster;
        ASSERT_EQ(0, poster.Open(Wide(url)));
        EXPECT_EQ(-1, poster.Post("a=1", 3)) << status;
    }
}

TEST_F(Download, ErrorBodyReachesTheLogOnlyUpTo4KiB) {
    EXPECT_EQ(-1, Run(FaultUrl("status=500,page=200000", "x")));
    const std::string text = log.Text();
    const size_t logged = static_cast<size_t>(std::count(text.begin(), text.end(), 'p'));
    EXPECT_LE(logged, static_cast<size_t>(LogBodyLimit));
    EXPECT_GE(logged, static_cast<size_t>(LogBodyLimit) - 10);
}

TEST_F(Download, ContentRangeDisagreeingWithLengthWarnsAndUsesItsTotal) {
    const std::string content = Pattern(300000);
    WriteFile(FaultFile("w.bin"), content);
    WriteFile(target, content.substr(0, 1000));
    // Content-Length claims 250000 of the 299000 remaining bytes: the body
    // ends there, short of the Content-Range total, with every byte kept.
    EXPECT_EQ(-2, Run(FaultUrl("cl=250000", "w.bin")));
    EXPECT_TRUE(log.Contains("total unmatch 1000 + 250000 != 300000"));
    EXPECT_EQ(content.substr(0, 251000), ReadFile(target));
}

TEST_F(Download, GarbageAnswersEndInACodeWithoutHangOrCrash) {
    const std::string content = Pattern(50000);
    WriteFile(FaultFile("g.bin"), content);
    struct Case {
        std::string url;
        int expected;
        const char* logLine;
    } cases[] = {
        {FaultPath("/garbage/nostatus"), -2, "WinHttpReceiveResponse failed, errno = "},
        // A length that is no size refuses the answer before a byte is written.
        {FaultUrl("cl=-5", "g.bin"), -1, "Content-Length is not a size: -5"},
        {FaultUrl("cl=99999999999999999999", "g.bin"), -1, "Content-Length is not a size: 9999"},
        // Wine ends the header block when the server gives up; no Content-Length then.
        {FaultPath("/garbage/endlessheader"), -1, "WinHttpQueryHeaders failed, flag = 0x5,"},
    };
    for (const auto& c : cases) {
        DeleteFileA(target.c_str());
        const DWORD start = GetTickCount();
        EXPECT_EQ(c.expected, Run(c.url)) << c.url;
        EXPECT_LT(GetTickCount() - start, 20000u) << c.url;
        EXPECT_TRUE(log.Contains(c.logLine)) << c.url;
        EXPECT_EQ("", ReadFile(target)) << c.url << ": nothing of a garbage answer is kept";
    }
}

TEST_F(Download, BodyLongerThanAnnouncedStopsAtTheAnnouncedLength) {
    const std::string content = Pattern(200000);
    WriteFile(FaultFile("l.bin"), content);
    EXPECT_EQ(0, Run(FaultUrl("extra=70000", "l.bin")));
    EXPECT_EQ(content, ReadFile(target));
}

TEST_F(Download, UncrackableUrlAndUncreatableFile) {
    EXPECT_EQ(-1, Run("no url at all"));
    EXPECT_TRUE(log.Contains("WinHttpCrackUrl failed"));
    WriteFile(NginxFile("f.bin"), "abc");
    target = dir / "missing\\sub\\f.bin";
    EXPECT_EQ(-1, Run(NginxUrl("f.bin")));
    EXPECT_TRUE(log.Contains("create file " + target + " failed, errno = 3"));
}

TEST_F(Download, UnreachableServerIsMinusTwo) {
    EXPECT_EQ(-2, Run("http://127.0.0.1:1/x.bin"));
}

TEST(Querier, ResourceInfoFromNginxAndFailures) {
    pennant_test::LogCapture log;
    WriteFile(NginxFile("q.bin"), Pattern(123456));
    SetUnixMTime(NginxFile("q.bin"), 1600000000);
    uint64_t size = 0;
    std::string etag;
    int64_t lastModified = 0;
    ASSERT_EQ(0, QueryResourceInfo(NginxUrl("q.bin"), &size, &etag, &lastModified));
    EXPECT_EQ(123456u, size);
    EXPECT_EQ("\"5f5e1000-1e240\"", etag);
    EXPECT_NE(0, lastModified);
    const auto access = NginxAccessLines();
    ASSERT_EQ(1u, access.size());
    EXPECT_EQ(0u, access[0].rfind("HEAD /q.bin ", 0));

    // Another mtime, another Last-Modified, the same conversion both times.
    SetUnixMTime(NginxFile("q.bin"), 1600000001);
    int64_t later = 0;
    ASSERT_EQ(0, QueryResourceInfo(NginxUrl("q.bin"), &size, &etag, &later));
    EXPECT_EQ(lastModified + 1, later);

    // Without ETag the other two headers still count.
    WriteFile(PlainFile("q.bin"), Pattern(4567));
    SetUnixMTime(PlainFile("q.bin"), 1600000000);
    etag.clear();
    int64_t plainTime = 0;
    EXPECT_EQ(-1, QueryResourceInfo(PlainUrl("q.bin"), &size, &etag, &plainTime));
    EXPECT_EQ(4567u, size);
    EXPECT_EQ("", etag);
    EXPECT_EQ(lastModified, plainTime);

    size = 5;
    EXPECT_EQ(-1, QueryResourceInfo(NginxUrl("absent.bin"), &size, &etag, &lastModified));
    EXPECT_EQ(5u, size);
    EXPECT_TRUE(log.Contains("HTTP/1.1 404 Not Found"));
    EXPECT_EQ(-1, QueryResourceInfo("::", &size, &etag, &lastModified));
    EXPECT_EQ(-2, QueryResourceInfo("http://127.0.0.1:1/x", &size, &etag, &lastModified));
}

TEST(TempDownload, LogoLandsInANewTempFile) {
    pennant_test::LogCapture log;
    const std::string logo = Pattern(4321, 7);
    WriteFile(NginxFile("logo.png"), logo);
    std::string path;
    ASSERT_EQ(0, DownloadToTempFile(NginxUrl("logo.png"), &path));
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    // GetTempFileName keeps three characters of the prefix.
    EXPECT_EQ(0u, path.rfind(std::string(temp) + "log", 0)) << path;
    EXPECT_EQ(logo, ReadFile(path));
    DeleteFileA(path.c_str());

    std::string none = "untouched";
    EXPECT_EQ(-1, DownloadToTempFile("bad url", &none));
    EXPECT_EQ("untouched", none);
}

TEST(TempDownload, LogoBeyondOneMiBOrTenSecondsIsNoLogo) {
    pennant_test::LogCapture log;
    WriteFile(NginxFile("fits.png"), Pattern(LogoMaxBytes));
    std::string path;
    ASSERT_EQ(0, DownloadToTempFile(NginxUrl("fits.png"), &path));
    EXPECT_EQ(LogoMaxBytes, FileSize(path));
    DeleteFileA(path.c_str());

    WriteFile(NginxFile("big.png"), Pattern(LogoMaxBytes + 1));
    WriteFile(FaultFile("slow.png"), Pattern(900000));
    // About 18 s at this rate, when nothing stops it.
    for (const std::string& url : {NginxUrl("big.png"), FaultUrl("rate=50000", "slow.png")}) {
        const DWORD start = GetTickCount();
        path = "unset";
        EXPECT_NE(0, DownloadToTempFile(url, &path)) << url;
        EXPECT_LT(GetTickCount() - start, LogoMaxMillis + 3000) << url;
        EXPECT_EQ("", path) << url;
    }
}

TEST(Poster, PostsTheFormAndJudgesOnlyTheStatus) {
    pennant_test::LogCapture log;
    HttpPoster poster;
    ASSERT_EQ(0, poster.Open(Wide(FaultPath("/api/record/feedback"))));
    ASSERT_EQ(0, poster.Post("a=1&b=2", 7));
    HttpPoster failing;
    ASSERT_EQ(0, failing.Open(Wide(FaultUrl("status=500", "x"))));
    EXPECT_EQ(-1, failing.Post("z", 1));
    const auto seen = RecordedRequests("HTTP_FAULT_REQUESTS");
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(0u, seen[0].rfind("POST /api/record/feedback HTTP/1.1\r\n", 0));
    EXPECT_EQ("\r\n\r\na=1&b=2", seen[0].substr(seen[0].size() - 11));
}
