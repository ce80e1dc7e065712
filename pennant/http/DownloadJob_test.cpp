#include "http/DownloadJob.h"

#include "HttpPeers.h"
#include "DownloadJobs.h"
#include "LogCapture.h"
#include "TestAuthority.h"
#include "app/Codes.h"
#include "app/Directories.h"

#include <gtest/gtest.h>
#include <wincrypt.h>

#include <cstdio>
#include <functional>
#include <vector>

using namespace pennant;
using namespace testing_support;

namespace {

std::string MetaText(const std::string& etag, int64_t lastModified) {
    return etag + "\r\n" + std::to_string(lastModified) + "\r\n";
}

// The MD5 of a file in plain reads front to back: a path of its own beside
// the job's check, which hashes mapped views.
std::string StreamedMd5(const std::string& path) {
    UniqueKernelHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    std::vector<BYTE> buffer(1 << 20);
    DWORD got = 0, length = 16;
    bool ok = file && CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL,
                                           CRYPT_VERIFYCONTEXT) &&
              CryptCreateHash(provider, CALG_MD5, 0, 0, &hash);
    while (ok && (ok = ::ReadFile(file.Get(), buffer.data(), 1 << 20, &got, nullptr)) && got > 0)
        ok = CryptHashData(hash, buffer.data(), got, 0);
    ok = ok && CryptGetHashParam(hash, HP_HASHVAL, buffer.data(), &length, 0);
    char hex[33] = {};
    for (DWORD i = 0; ok && i < length && i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", buffer[i]);
    if (hash) CryptDestroyHash(hash);
    if (provider) CryptReleaseContext(provider, 0);
    return ok ? hex : "";
}

class Job : public ::testing::Test {
protected:
    int32_t Run(DownloadJob& job) {
        RunDownloadJobIn(dir.Path(), job, nullptr);
        return job.result;
    }
    std::string Installer() const { return dir / "setup.exe"; }
    std::string Part() const { return dir / "setup.exe.part"; }
    std::string Meta() const { return dir / "setup.exe.meta"; }

    pennant_test::LogCapture log;
    TempDir dir{"job"};
};

}  // namespace

TEST(FileMd5Hex, MatchesKnownDigestsAcrossViewBoundaries) {
    TempDir dir("md5");
    struct Case {
        size_t size;
        const char* digest;
    } zeros[] = {
        {1048576, "b6d81b360a5672d80c27430f39153e2c"},
        {2097152, "b2d1236c286a3c0704224fe4105eca49"},
        {1048577, "9587b149ff392ca6887a05d921e73e72"},
        {3145727, "a5b1d6a41d1eb639531f6b04231118f4"},
        {4194304, "b5cfa9d6c8febd618f91ac2843d50a1c"},
        {4194305, "0512b81efac65efad48880543d4d60af"},
        {8388607, "637b10ce48f79f1c0cf13efa84ee1247"},
    };
    for (const auto& c : zeros) {
        WriteFile(dir / "z", std::string(c.size, '\0'));
        EXPECT_EQ(c.digest, FileMd5Hex(dir / "z")) << c.size;
    }
    WriteFile(dir / "p", Pattern(1 << 20));
    EXPECT_EQ("28e60eb5789bc54f599d6057425f1c63", FileMd5Hex(dir / "p"));
    WriteFile(dir / "q", Pattern((2 << 20) + 17, 3));
    EXPECT_EQ("86bb5443a2999c213ebf3f9003d09c1e", FileMd5Hex(dir / "q"));
    WriteFile(dir / "abc", "abc");
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", FileMd5Hex(dir / "abc"));
    WriteFile(dir / "empty", "");
    EXPECT_EQ("", FileMd5Hex(dir / "empty"));
    EXPECT_EQ("", FileMd5Hex(dir / "absent"));
}

TEST(CheckFileMd5, IgnoresCaseAndNeverMatchesEmptyDigests) {
    pennant_test::LogCapture log;
    TempDir dir("md5");
    WriteFile(dir / "abc", "abc");
    EXPECT_EQ(0, CheckFileMd5(dir / "abc", "900150983CD24FB0D6963F7D28E17F72"));
    EXPECT_EQ(1, CheckFileMd5(dir / "abc", ""));
    EXPECT_EQ(-1, CheckFileMd5(dir / "absent", "900150983cd24fb0d6963f7d28e17f72"));
    // Wrong in the first digit, or only in the last, sorting before or after.
    for (const char* wrong : {"00000000000000000000000000000000", "900150983cd24fb0d6963f7d28e17f71",
                              "900150983cd24fb0d6963f7d28e17f75"})
        EXPECT_EQ(1, CheckFileMd5(dir / "abc", wrong)) << wrong;
    EXPECT_TRUE(log.Contains("md5 check failed for file " + (dir / "abc") +
                             ", 900150983cd24fb0d6963f7d28e17f72 != 00000000000000000000000000000000"));
}

TEST(MetaFile, WrittenInTextModeAndCheckedFieldByField) {
    pennant_test::LogCapture log;
    TempDir dir("meta");
    const std::string meta = dir / "a.meta";
    ASSERT_EQ(0, WriteMetaFile(meta, "\"5f-1e\"", -1700000000LL));
    EXPECT_EQ("\"5f-1e\"\r\n-1700000000\r\n", ReadFile(meta));
    EXPECT_EQ(0, CheckFileAgainstMeta(dir / "a", meta, nullptr, "\"5F-1E\"", -1700000000LL));
    EXPECT_EQ(-1, CheckFileAgainstMeta(dir / "a", meta, nullptr, "\"60-1e\"", -1700000000LL));
    EXPECT_TRUE(log.Contains("etag unmatch, \"5f-1e\" != \"60-1e\""));
    EXPECT_EQ(-1, CheckFileAgainstMeta(dir / "a", meta, nullptr, "\"5f-1e\"", 5));
    EXPECT_TRUE(log.Contains("time last modify unmatch, -1700000000 != 5"));

    // The state after a failed start-up HEAD passes against itself.
    ASSERT_EQ(0, WriteMetaFile(meta, "", 0));
    EXPECT_EQ(0, CheckFileAgainstMeta(dir / "a", meta, nullptr, "", 0));

    WriteFile(meta, "\"e\"\n");
    EXPECT_EQ(-1, CheckFileAgainstMeta(dir / "a", meta, nullptr, "\"e\"", 0));
    EXPECT_TRUE(log.Contains("get last modify timestamp fields failed, time check failed!"));
    WriteFile(meta, "");
    EXPECT_EQ(-1, CheckFileAgainstMeta(dir / "a", meta, nullptr, "", 0));
    EXPECT_TRUE(log.Contains("get etag fields failed, etag check failed!"));
    EXPECT_EQ(-1, CheckFileAgainstMeta(dir / "a", dir / "absent.meta", nullptr, "", 0));
    EXPECT_TRUE(log.Contains("open meta file failed, meta data check failed!, errno = "));
    EXPECT_EQ(-1, WriteMetaFile(dir / "no\\such\\dir.meta", "", 0));
    EXPECT_TRUE(log.Contains("open meta file failed, meta data check failed!"));
    WriteFile(meta, "kept");  // never emptied in place, even when it cannot be replaced
    ASSERT_TRUE(CreateDirectoryA((meta + ".new").c_str(), nullptr));
    EXPECT_EQ(-1, WriteMetaFile(meta, "\"other\"", 1));
    EXPECT_EQ("kept", ReadFile(meta));
    RemoveDirectoryA((meta + ".new").c_str());

    // With an MD5 the file itself must match too.
    WriteFile(dir / "a", "abc");
    ASSERT_EQ(0, WriteMetaFile(meta, "e", 9));
    EXPECT_EQ(0, CheckFileAgainstMeta(dir / "a", meta, "900150983cd24fb0d6963f7d28e17f72", "e", 9));
    EXPECT_EQ(-1, CheckFileAgainstMeta(dir / "a", meta, "", "e", 9));
}

TEST(DiskSpace, PartFileLargerThanTotalAndPlentyOfRoom) {
    pennant_test::LogCapture log;
    TempDir dir("disk");
    WriteFile(dir / "p.part", std::string(2000, 'x'));
    EXPECT_EQ(-1, CheckDiskSpace(dir / "p.part", 1000));
    EXPECT_TRUE(log.Contains("part file size large than total, 2000 > 1000"));
    EXPECT_EQ(0, CheckDiskSpace(dir / "p.part", 1500000));
    EXPECT_TRUE(log.Contains("disk free space check : PASS, need 1.4 MB, free "));
    EXPECT_EQ(0, CheckDiskSpace(dir / "new.part", 10));  // created empty
    EXPECT_EQ(0, FileSize(dir / "new.part"));
    EXPECT_EQ(-1, CheckDiskSpace(dir / "no\\dir\\p.part", 10));
}

TEST_F(Job, FreshDownloadIsVerifiedRenamedAndDescribedByItsMeta) {
    const std::string content = Pattern(1500000);
    WriteFile(NginxFile("setup.exe"), content);
    DownloadJob job = JobFor(NginxUrl("setup.exe"), "setup.exe", Md5Of(content));
    EXPECT_EQ(DownloadReady, Run(job));
    EXPECT_EQ(content, ReadFile(Installer()));
    EXPECT_FALSE(FileExists(Part()));
    EXPECT_EQ(MetaText(job.etag, job.lastModified), ReadFile(Meta()));
    EXPECT_TRUE(log.Contains("disk free space check : PASS, need 1.4 MB, free "));
    EXPECT_TRUE(log.Contains("download OK"));
    const auto access = NginxAccessLines();
    ASSERT_EQ(2u, access.size());
    EXPECT_EQ(0u, access[1].rfind("GET /setup.exe?skq=", 0)) << access[1];
}

TEST_F(Job, ChangedEtagOnNginxDiscardsThePartFile) {
    const std::string old = Pattern(600000, 1);
    WriteFile(NginxFile("setup.exe"), old);
    SetUnixMTime(NginxFile("setup.exe"), 1600000000);
    DownloadJob before = JobFor(NginxUrl("setup.exe"), "setup.exe", "");
    WriteFile(Part(), old.substr(0, 250000));
    ASSERT_EQ(0, WriteMetaFile(Meta(), before.etag, before.lastModified));

    const std::string fresh = Pattern(600000, 2);  // same size, new mtime: new ETag
    WriteFile(NginxFile("setup.exe"), fresh);
    SetUnixMTime(NginxFile("setup.exe"), 1600000100);
    DownloadJob job = JobFor(NginxUrl("setup.exe"), "setup.exe", Md5Of(fresh));
    ASSERT_NE(before.etag, job.etag);
    EXPECT_EQ(DownloadReady, Run(job));
    EXPECT_EQ(fresh, ReadFile(Installer()));
    EXPECT_TRUE(log.Contains("etag unmatch, " + before.etag + " != " + job.etag));
    EXPECT_TRUE(log.Contains("part file can not pass check, remove it !"));
    EXPECT_EQ("\"-\"", NginxAccessLines().back().substr(NginxAccessLines().back().size() - 3));
}

TEST_F(Job, ChangedEtagOrLastModifiedAloneDiscardsThePartFile) {
    const std::string content = Pattern(300000);
    WriteFile(FaultFile("lm.bin"), content);
    struct Change {
        const char* options;
        const char* logLine;
    } changes[] = {{"etag=same,lm=1500000999", "time last modify unmatch, 1500000000 != 1500000999"},
                   {"etag=other,lm=1500000000", "etag unmatch, \"same\" != \"other\""}};
    for (const Change& change : changes) {
        DeleteFileA(Installer().c_str());
        DownloadJob first = JobFor(FaultUrl("etag=same,lm=1500000000,cut=200000", "lm.bin"),
                                   "setup.exe", Md5Of(content));
        EXPECT_EQ(DownloadConnectionBroken, Run(first));
        ASSERT_GT(FileSize(Part()), 0);

        DownloadJob second = JobFor(FaultUrl(change.options, "lm.bin"), "setup.exe", Md5Of(content));
        EXPECT_EQ(DownloadReady, Run(second)) << change.options;
        EXPECT_EQ(content, ReadFile(Installer()));
        EXPECT_TRUE(log.Contains(change.logLine)) << change.options;
        const auto seen = RecordedRequests("HTTP_FAULT_REQUESTS");
        EXPECT_EQ(std::string::npos, seen.back().find("Range:")) << change.options;
    }
}

TEST_F(Job, PartFileWithoutMetaIsDeleted) {
    const std::string content = Pattern(200000);
    WriteFile(NginxFile("setup.exe"), content);
    WriteFile(Part(), std::string(50000, 'x'));
    DownloadJob job = JobFor(NginxUrl("setup.exe"), "setup.exe", Md5Of(content));
    EXPECT_EQ(DownloadReady, Run(job));
    EXPECT_EQ(content, ReadFile(Installer()));
    EXPECT_TRUE(log.Contains("open meta file failed, meta data check failed!, errno = "));
    EXPECT_TRUE(log.Contains("part file can not pass check, remove it !"));
    const auto access = NginxAccessLines();
    ASSERT_EQ(1u, CountContaining(access, "GET "));
    EXPECT_NE(std::string::npos, access.back().find(" 200 200000 \"-\""));
}

TEST_F(Job, PartFileLongerThanTheServersGets416AndAFullDownload) {
    const std::string content = Pattern(200000);
    WriteFile(NginxFile("setup.exe"), content);
    DownloadJob job = JobFor(NginxUrl("setup.exe"), "setup.exe", Md5Of(content));
    WriteFile(Part(), content + "trailing junk");
    ASSERT_EQ(0, WriteMetaFile(Meta(), job.etag, job.lastModified));
    EXPECT_EQ(DownloadReady, Run(job));
    EXPECT_EQ(content, ReadFile(Installer()));
    EXPECT_TRUE(log.Contains("part file size large than total, 200013 > 200000"));
    EXPECT_TRUE(log.Contains("http response status 416, remove part file and retry !"));
    const auto access = NginxAccessLines();
    ASSERT_EQ(3u, access.size());
    EXPECT_NE(std::string::npos, access[1].find(" 416 "));
    EXPECT_NE(std::string::npos, access[1].find("\"bytes=200013-\""));
    EXPECT_NE(std::string::npos, access[2].find(" 200 200000 \"-\""));
}

TEST_F(Job, ServerThatAlwaysAnswers416IsGivenUpOn) {
    WriteFile(FaultFile("s.bin"), Pattern(1000));
    DownloadJob job = JobFor(FaultUrl("always416=1", "s.bin"), "setup.exe", "");
    EXPECT_EQ(DownloadFailedResult, Run(job));
    EXPECT_EQ(1 + MaxRangeRestarts + 1, static_cast<int>(RecordedRequests("HTTP_FAULT_REQUESTS").size()));
    EXPECT_TRUE(log.Contains("download failed"));
}

TEST_F(Job, Md5MismatchLeavesNoPartFile) {
    WriteFile(NginxFile("setup.exe"), Pattern(100000));
    std::string before = Md5Of(Pattern(100000)), after = before;
    ASSERT_EQ('4', before.back());
    before.back() = '0', after.back() = '7';  // wrong only at the end, either side of the real one
    for (const std::string& md5 : {std::string("0123456789abcdef0123456789abcdef"), before, after}) {
        DownloadJob job = JobFor(NginxUrl("setup.exe"), "setup.exe", md5);
        EXPECT_EQ(DownloadMd5Mismatch, Run(job)) << md5;
        EXPECT_FALSE(FileExists(Part()));
        EXPECT_FALSE(FileExists(Installer()));
    }
    EXPECT_TRUE(log.Contains("md5 check failed for file " + Installer()));  // renamed first
    DownloadJob job = JobFor(NginxUrl("setup.exe"), "setup.exe", "");

    EXPECT_EQ(DownloadMd5Mismatch, Run(job));  // an empty digest never matches
}

// Over TLS too: the start-up HEAD's identity, then a Range on the secure
// connection, against a certificate trusted only inside this prefix.
TEST_F(Job, InstallerThatNoLongerMatchesIsDeletedAndThePartResumed) {
    const TrustedTestAuthority authority;
    ASSERT_TRUE(authority.Trusted());
    const std::string content = Pattern(400000);
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "https" : "http");
        WriteFile(tls ? HttpsNginxFile("setup.exe") : NginxFile("setup.exe"), content);
        DownloadJob job = JobFor(tls ? HttpsNginxUrl("setup.exe") : NginxUrl("setup.exe"),
                                 "setup.exe", Md5Of(content));
        ASSERT_FALSE(job.etag.empty());
        WriteFile(Installer(), "an older installer");
        WriteFile(Part(), content.substr(0, 100000));
        ASSERT_EQ(0, WriteMetaFile(Meta(), job.etag, job.lastModified));
        EXPECT_EQ(DownloadReady, Run(job));
        EXPECT_EQ(content, ReadFile(Installer()));
        EXPECT_TRUE(log.Contains("install file can NOT pass check, remove it !"));
        const auto access = NginxAccessLines(tls ? "HTTPS_NGINX_ACCESS_LOG" : "HTTP_NGINX_ACCESS_LOG");
        EXPECT_NE(std::string::npos, access.back().find(" 206 300000 \"bytes=100000-\"")) << access.back();
    }
}

// Over 20 s: it hashes a 4 GiB installer twice, once for the task and once in the job.
TEST_F(Job, PartFilePastFourGiBIsResumedThere) {
    const long long size = 4294967296LL + (1 << 20) + 3, partSize = 4294967296LL + (512 << 10);
    const FileMarks marks = MarksAstrideFourGiB(size);  // sparse, both server file and part
    ASSERT_TRUE(WriteSparse(NginxFile("setup.exe"), size, marks));
    ASSERT_TRUE(WriteSparse(Part(), partSize, {marks[0], marks[1]}));  // what a run left
    const std::string md5 = StreamedMd5(NginxFile("setup.exe"));
    DownloadJob job = JobFor(NginxUrl("setup.exe"), "setup.exe", md5);
    EXPECT_EQ(size, job.totalSize) << "the start-up query's Content-Length";
    ASSERT_EQ(0, WriteMetaFile(Meta(), job.etag, job.lastModified));
    EXPECT_EQ(DownloadReady, Run(job));
    const std::string resumed = NginxAccessLines().back();
    EXPECT_NE(std::string::npos, resumed.find(" 206 524291 \"bytes=4295491584-\"")) << resumed;
    EXPECT_EQ(size, FileSize(Installer()));
    for (const auto& mark : marks)
        EXPECT_EQ(mark.second, ReadAt(Installer(), mark.first, mark.second.size())) << mark.first;
    EXPECT_TRUE(DeleteFileA(Installer().c_str()));
    EXPECT_TRUE(DeleteFileA(NginxFile("setup.exe").c_str()));
}

TEST_F(Job, NotEnoughFreeSpaceOnASmallVolume) {
    const std::string directory = Env("HTTP_TMPFS_DIR");
    if (directory.empty()) GTEST_SKIP() << Env("HTTP_TMPFS_SKIP");
    WriteFile(NginxFile("setup.exe"), Pattern(3 * 1024 * 1024));
    DownloadJob job = JobFor(NginxUrl("setup.exe"), "setup.exe", "");
    RunDownloadJobIn(directory, job, nullptr);
    EXPECT_EQ(DownloadDiskFull, job.result);
    EXPECT_TRUE(log.Contains("disk free space not enough, need 3145728, free "));
    EXPECT_EQ(0u, CountContaining(NginxAccessLines(), "GET "));
    DeleteFileA((directory + "\\setup.exe.part").c_str());
    DeleteFileA((directory + "\\setup.exe.meta").c_str());
}

TEST_F(Job, BadTaskValuesEndInTheirCodes) {
    DownloadJob job;
    job.url = "not a url";
    job.fileName = "setup.exe";
    EXPECT_EQ(DownloadFailedResult, Run(job));

    job.url = "http://127.0.0.1:1/setup.exe";
    EXPECT_EQ(DownloadConnectionBroken, Run(job));
    EXPECT_TRUE(log.Contains("connection break detected"));

    WriteFile(NginxFile("setup.exe"), "abc");
    job = JobFor(NginxUrl("setup.exe"), "no\\such\\setup.exe", "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(DownloadFailedResult, Run(job));
    EXPECT_TRUE(log.Contains("update meta file failed, errno = "));
    EXPECT_TRUE(log.Contains("create file " + (dir / "no\\such\\setup.exe.part") + " failed"));
}

TEST_F(Job, FaultyAnswersNeverCostAByteOfAGoodPartFile) {
    const std::string content = Pattern(300000);
    WriteFile(FaultFile("g.bin"), content);
    const std::string good = content.substr(0, 120000);
    const std::string urls[] = {
        FaultUrl("range=missing", "g.bin"), FaultUrl("range=garbage", "g.bin"),
        FaultUrl("status=404", "g.bin"),    FaultPath("/garbage/nostatus"),
    };
    for (const auto& url : urls) {
        WriteFile(Part(), good);
        DownloadJob job;
        job.url = url;
        job.fileName = "setup.exe";
        job.etag = "\"kept\"";
        job.md5 = Md5Of(content);
        ASSERT_EQ(0, WriteMetaFile(Meta(), job.etag, 0));
        const int32_t result = Run(job);
        EXPECT_TRUE(result == DownloadFailedResult || result == DownloadConnectionBroken)
            << url << " gave " << result;
        EXPECT_EQ(good, ReadFile(Part())) << url;
    }
}

TEST_F(Job, RangeIgnoredOrAnsweredFromElsewhereRestartsFromZero) {
    const std::string content = Pattern(300000);
    WriteFile(PlainFile("setup.exe"), content);
    WriteFile(FaultFile("setup.exe"), content);
    // Python's http.server answers every range with the whole file.
    for (const std::string& url : {PlainUrl("setup.exe"), FaultUrl("range=shift", "setup.exe"),
                                   FaultUrl("range=back", "setup.exe")}) {
        DeleteFileA(Installer().c_str());
        DownloadJob job = JobFor(url, "setup.exe", Md5Of(content));
        WriteFile(Part(), content.substr(0, 120000));
        ASSERT_EQ(0, WriteMetaFile(Meta(), job.etag, job.lastModified));
        EXPECT_EQ(DownloadReady, Run(job)) << url;
        EXPECT_EQ(content, ReadFile(Installer())) << url;
        EXPECT_TRUE(log.Contains("range request not honoured, remove part file and retry !"));
    }
}

TEST_F(Job, FailedHeadKeepsAVerifiedInstallerAndAValidPartFile) {
    const std::string content = Pattern(400000);
    WriteFile(NginxFile("setup.exe"), content);
    const DownloadJob known = JobFor(NginxUrl("setup.exe"), "setup.exe", Md5Of(content));
    DownloadJob failedHead = known;  // what a start-up HEAD that failed leaves
    failedHead.etag.clear();
    failedHead.lastModified = 0;
    failedHead.totalSize = 0;
    DownloadJob otherServer = known;  // a server that names another version
    otherServer.etag = "\"other\"";

    // An installer with the task's MD5 is used whatever the meta file says.
    for (DownloadJob job : {failedHead, otherServer}) {
        WriteFile(Installer(), content);
        ASSERT_EQ(0, WriteMetaFile(Meta(), "\"older\"", 1));
        EXPECT_EQ(DownloadReady, Run(job)) << job.etag;
        EXPECT_EQ(content, ReadFile(Installer())) << job.etag;
    }
    EXPECT_EQ(0u, CountContaining(NginxAccessLines(), "GET "));

    // A part file is kept, and resumed, while the server's identity is unknown.
    DeleteFileA(Installer().c_str());
    WriteFile(Part(), content.substr(0, 100000));
    ASSERT_EQ(0, WriteMetaFile(Meta(), known.etag, known.lastModified));
    EXPECT_EQ(DownloadReady, Run(failedHead));
    EXPECT_EQ(content, ReadFile(Installer()));
    EXPECT_NE(std::string::npos, NginxAccessLines().back().find("\"bytes=100000-\""));
    EXPECT_EQ(MetaText(known.etag, known.lastModified), ReadFile(Meta()));
}

TEST_F(Job, CompletePartFileIsVerifiedWithoutARequest) {
    const std::string content = Pattern(250000);
    WriteFile(NginxFile("setup.exe"), content);
    DownloadJob job = JobFor(NginxUrl("setup.exe"), "setup.exe", Md5Of(content));
    WriteFile(Part(), content);
    ASSERT_EQ(0, WriteMetaFile(Meta(), job.etag, job.lastModified));
    struct : HttpLoadNotify {  // a stop during the MD5 pass ends it, deleting nothing
        void OnProgress(int64_t, int64_t) override {}
        bool IsCancelled() override { return true; }
    } stop;
    RunDownloadJobIn(dir.Path(), job, &stop);
    EXPECT_EQ(DownloadPaused, job.result);
    EXPECT_EQ(content, ReadFile(Installer()));
    EXPECT_EQ(DownloadReady, Run(job));
    EXPECT_EQ(content, ReadFile(Installer()));
    EXPECT_FALSE(FileExists(Part()));
    EXPECT_EQ(0u, CountContaining(NginxAccessLines(), "GET "));
}

TEST_F(Job, QueryOfASignedUrlIsKeptAndTheRunMarkerJoinedToIt) {
    WriteFile(NginxFile("setup.exe"), "abc");
    DownloadJob job = JobFor(NginxUrl("setup.exe?sig=a%2Fb"), "setup.exe",
                             "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(DownloadReady, Run(job));
    const auto access = NginxAccessLines();
    ASSERT_EQ(2u, access.size());
    EXPECT_EQ(0u, access[1].rfind("GET /setup.exe?sig=a%2Fb&skq=", 0)) << access[1];
}

TEST_F(Job, CheckedInstallerIsHeldUntilTheSlotLetsGo) {
    const std::string content = Pattern(300000);
    WriteFile(NginxFile("setup.exe"), content);
    // It admits readers that share only reading, as installers reading themselves.
    const auto readShared = [](const std::string& path) {
        UniqueKernelHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
        std::string bytes(static_cast<size_t>(std::max(0LL, FileSize(path))), '\0');
        DWORD read = 0;
        if (!file || !::ReadFile(file.Get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read,
                                 nullptr))
            return std::string("unreadable");
        return bytes.substr(0, read);
    };
    struct Case {
        const char* name;
        const char* installer;  // already in the folder, or nullptr
        bool inUse;             // that installer is open elsewhere, deletion denied
        int32_t result;
    } cases[] = {
        {"fresh download", nullptr, false, DownloadReady},
        {"installer already there", "same", false, DownloadReady},
        {"old installer in use", "old bytes", true, DownloadRenameFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& file : {Installer(), Part(), Meta()}) DeleteFileA(file.c_str());
        if (c.installer) WriteFile(Installer(), c.installer == std::string("same") ? content
                                                                                    : c.installer);
        UniqueKernelHandle other;
        if (c.inUse)
            other.Reset(CreateFileA(Installer().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        DownloadJob job = JobFor(NginxUrl("setup.exe"), "setup.exe", Md5Of(content));
        UniqueKernelHandle slot(CreateEventA(nullptr, FALSE, FALSE, nullptr));  // emptied
        RunDownloadJobIn(dir.Path(), job, nullptr, &slot);
        EXPECT_EQ(c.result, job.result);
        if (c.result != DownloadReady) {
            EXPECT_FALSE(slot.Valid());
            EXPECT_TRUE(log.Contains(
                "move downloading file to install file failed, errno = 5, try using temp files"));
            EXPECT_EQ(content, readShared(Part()));
            continue;
        }
        ASSERT_TRUE(slot.Valid());
        EXPECT_EQ(INVALID_HANDLE_VALUE,
                  CreateFileA(Installer().c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
        EXPECT_FALSE(DeleteFileA(Installer().c_str()));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
        EXPECT_EQ(content, readShared(Installer()));
        EXPECT_EQ(Md5Of(content), HandleMd5Hex(slot.Get()));
        slot.Reset();
        EXPECT_TRUE(DeleteFileA(Installer().c_str()));
    }
}
