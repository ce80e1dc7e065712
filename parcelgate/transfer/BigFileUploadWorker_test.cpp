// The big-file upload against the tests' own chunk server (tests/support/
// peer_chunks.py), which reassembles what it is sent and can refuse a chunk
// or cut the connection: real files, real resume records, real sockets.
#include "transfer/BigFileUploadWorker.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "HttpPeers.h"
#include "RecordingProgress.h"
#include "TestFiles.h"
#include "base/Utils.h"

namespace pcg {
namespace {

using namespace testing_support;

const bool reset = ResetPeersBeforeEachTest();

// What the chunk server saw of one chunk.
struct SeenChunk {
    int64_t first = -1, last = -1, size = -1;
    std::string session;
    std::string head;
};

std::string HeaderValue(const std::string& head, const std::string& name) {
    for (const std::string& line : Lines(head)) {
        if (line.size() > name.size() && SameText(line.substr(0, name.size() + 1), name + ":"))
            return line.substr(line.find_first_not_of(' ', name.size() + 1));
    }
    return "";
}

std::vector<SeenChunk> ChunksSeen() {
    std::vector<SeenChunk> chunks;
    for (const std::string& head : RecordedRequests("PCG_CHUNK_REQUESTS")) {
        SeenChunk chunk;
        chunk.head = head;
        chunk.session = HeaderValue(head, "Session-ID");
        long long first = -1, last = -1, size = -1;
        sscanf(HeaderValue(head, "X-Content-Range").c_str(), "bytes %lld-%lld/%lld", &first, &last, &size);
        chunk.first = first;
        chunk.last = last;
        chunk.size = size;
        chunks.push_back(chunk);
    }
    return chunks;
}

// A text as a JSON string holds it (enough for paths and URLs).
std::string Escaped(std::string text) {
    for (size_t at = text.find('\\'); at != std::string::npos; at = text.find('\\', at + 2)) text.insert(at, 1, '\\');
    return text;
}

std::string FullUrl(const std::string& options, const std::string& name) {
    return ChunkUrl(options, name) + "?access_token=t";
}

// Runs one upload to its end; the events the client saw.
std::vector<std::string> Upload(const std::string& file, const std::string& url, int64_t sessionId,
                                bool force = false, std::function<HRESULT(int)> answer = nullptr) {
    auto sink = std::make_shared<RecordingProgress>();
    if (answer) sink->AnswerProgress(std::move(answer));
    auto worker = std::make_unique<BigFileUploadWorker>(force, sessionId, file, url, sink, "t");
    worker->Start();
    worker.release();  // deletes itself when its run ends
    EXPECT_TRUE(sink->Wait());
    EXPECT_TRUE(WaitUntilSoleOwner(sink));
    return sink->Names();
}

// OnBegin, OnProgress after each chunk from byte `from` on, then `last`.
std::vector<std::string> Events(int64_t size, int64_t from, int64_t upTo, const std::string& last) {
    const int64_t chunk = BigFileUploadWorker::ChunkSize(size);
    std::vector<std::string> events{"OnBegin"};
    for (int64_t at = from; at < upTo;) {
        at = std::min(at + chunk, size);
        events.push_back("OnProgress(" + std::to_string(at) + "," + std::to_string(size) + ")");
    }
    events.push_back(last);
    return events;
}

TEST(PcgBigFileUpload, WholeFileInAcknowledgedChunks) {
    struct Case {
        int64_t size;
        const char* options;  // status=200: every chunk acknowledged by 200
        size_t chunks;
        int64_t chunkSize;
        const char* lastRange;
    };
    for (const Case& c : {Case{10241, "-", 101, 102, "10200-10240/10241"},
                          Case{10301, "-", 100, 104, "10296-10300/10301"},
                          Case{20000, "status=200", 100, 200, "19800-19999/20000"}}) {
        SCOPED_TRACE(c.size);
        ForgetPeerHistory();
        TempDir dir("pcg");
        const std::string name = "big" + std::to_string(c.size) + ".bin";
        const std::string file = dir / name;
        const std::string content = Pattern(static_cast<size_t>(c.size), 5);
        WriteFile(file, content);
        const int64_t sessionId = 6000000000;  // beyond 32 bits

        EXPECT_EQ(Events(c.size, 0, c.size, "OnFinish"), Upload(file, FullUrl(c.options, name), sessionId));

        EXPECT_TRUE(content == ReadFile(ChunkFile(name)));
        EXPECT_FALSE(FileExists(dir / ("big" + std::to_string(c.size) + ".upbreak")));
        auto chunks = ChunksSeen();
        ASSERT_EQ(c.chunks, chunks.size());
        EXPECT_EQ(c.chunkSize, chunks[0].last + 1);
        EXPECT_EQ("bytes " + std::string(c.lastRange), HeaderValue(chunks.back().head, "X-Content-Range"));
        const std::string& head = chunks[0].head;
        EXPECT_EQ(0u, head.find("POST /up/" + std::string(c.options) + "/" + name + "?access_token=t HTTP/1.0\r\n"));
        EXPECT_EQ("6000000000", chunks[0].session);
        EXPECT_EQ("application/octet-stream", HeaderValue(head, "Content-Type"));
        EXPECT_EQ("attachment; filename=\"" + file + "\"", HeaderValue(head, "Content-Disposition"));
        EXPECT_EQ("127.0.0.1:" + Env("PCG_CHUNK_PORT"), HeaderValue(head, "Host"));
        EXPECT_EQ(1u, CountContaining(Lines(head), "Host:"));
    }
}

UniqueHandle OpenShared(const std::string& name) {
    return UniqueHandle(CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// An upload that ends early saves a record from which the next Upload of the
// same file and URL sends exactly what was not acknowledged, under the first
// session ID, unless the file was written after the record. A finished
// upload's record is never followed again, even when it cannot be deleted.
TEST(PcgBigFileUpload, InterruptedUploadContinuesFromItsRecord) {
    const int64_t size = 10301, chunk = 104;
    struct Case {
        const char* what;
        std::string options;
        int abortAtProgress;  // 0: never
        const char* firstEnd;
        int64_t resumeAt;
        bool changed = false;  // the file is rewritten, same size and name, after the record
        int keep = 0;          // the record resists deletion: 1 read-only, 2 held open by another program
    };
    for (const Case& c : {Case{"client stops", "-", 30, "OnFail(3)", 30 * chunk, false, 1},
                          Case{"chunk refused", "refuse=" + std::to_string(40 * chunk), 0, "OnFail(0)", 40 * chunk,
                               false, 2},
                          Case{"connection cut", "cut=" + std::to_string(50 * chunk), 0, "OnFail(0)", 50 * chunk},
                          Case{"the file changes", "-", 30, "OnFail(3)", 30 * chunk, true}}) {
        SCOPED_TRACE(c.what);
        ForgetPeerHistory();
        TempDir dir("pcg");
        const std::string file = dir / "resumed.bin";
        const std::string record = dir / "resumed.upbreak";
        std::string content = Pattern(size, 9);
        WriteFile(file, content);
        const std::string url = FullUrl(c.options, "resumed.bin");
        auto stop = [&](int n) {  // a client killed after the fifth chunk finds its record or the fourth's
            const std::string saved = n == 5 ? Base64Decode(ReadFile(record)) : std::string();
            EXPECT_TRUE(n != 5 || saved.find("{\"size\":10301,\"uploadsize\":520,") == 0 ||
                        saved.find("{\"size\":10301,\"uploadsize\":416,") == 0);
            return n == c.abortAtProgress ? E_ABORT : S_OK;
        };

        EXPECT_EQ(Events(size, 0, c.resumeAt, c.firstEnd), Upload(file, url, 4242, false, stop));
        // The chunk not acknowledged went once: the session never sends a POST again by itself.
        const size_t sentFirst = ChunksSeen().size();
        EXPECT_EQ(static_cast<size_t>(c.resumeAt / chunk + (c.abortAtProgress ? 0 : 1)), sentFirst);
        const std::string at = std::to_string(c.resumeAt);
        EXPECT_EQ("{\"size\":10301,\"uploadsize\":" + at + ",\"uid\":4242,\"start\":" +
                      (c.abortAtProgress ? std::to_string(c.resumeAt - chunk) : at) + ",\"end\":" +
                      std::to_string(c.resumeAt - 1) + ",\"pos\":" + at + ",\"hash\":\"\",\"url\":\"" + url +
                      "\",\"filename\":\"" + Escaped(file) + "\"}",
                  Base64Decode(ReadFile(record)));
        EXPECT_EQ((std::vector<std::string>{"resumed.bin", "resumed.upbreak"}), FilesIn(dir.Path()));
        if (c.changed) WriteFile(file, content = Pattern(size, 10));
        if (c.keep == 1) SetFileAttributesA(record.c_str(), FILE_ATTRIBUTE_READONLY);
        UniqueHandle holder(c.keep == 2 ? OpenShared(record) : UniqueHandle());

        const int64_t from = c.changed ? 0 : c.resumeAt;
        EXPECT_EQ(Events(size, from, size, "OnFinish"), Upload(file, url, 999));
        auto chunks = ChunksSeen();
        ASSERT_LT(sentFirst, chunks.size());
        EXPECT_EQ(from, chunks[sentFirst].first);
        for (size_t i = sentFirst; i < chunks.size(); ++i) EXPECT_EQ(c.changed ? "999" : "4242", chunks[i].session);
        EXPECT_TRUE(content == ReadFile(ChunkFile("resumed.bin")));
        EXPECT_EQ(c.keep != 2, !FileExists(record));
        EXPECT_EQ(Events(size, 0, size, "OnFinish"), Upload(file, url, 1000));
        EXPECT_EQ(0, ChunksSeen()[chunks.size()].first);
    }
}

TEST(PcgBigFileUpload, ForcedReUploadStartsAtZeroWithItsOwnSession) {
    TempDir dir("pcg");
    const std::string file = dir / "forced.bin";
    const std::string content = Pattern(10301, 4);
    WriteFile(file, content);
    const std::string url = FullUrl("-", "forced.bin");
    Upload(file, url, 11, false, [](int n) { return n == 10 ? E_ABORT : S_OK; });
    ASSERT_TRUE(FileExists(dir / "forced.upbreak"));
    ForgetPeerHistory();

    EXPECT_EQ(Events(10301, 0, 10301, "OnFinish"), Upload(file, url, 12, true));
    auto chunks = ChunksSeen();
    ASSERT_EQ(100u, chunks.size());
    EXPECT_EQ(0, chunks[0].first);
    EXPECT_EQ("12", chunks[0].session);
    EXPECT_TRUE(content == ReadFile(ChunkFile("forced.bin")));
    EXPECT_FALSE(FileExists(dir / "forced.upbreak"));
}

// Records written by hand: the one that fits resumes, every other one is
// ignored and the upload starts at byte 0 with the session ID it was given.
TEST(PcgBigFileUpload, OnlyARecordThatFitsTheFileIsFollowed) {
    const int64_t size = 4294967296LL + 10301;  // sparse: only its last chunks are ever read
    const int64_t chunk = BigFileUploadWorker::ChunkSize(size), last = 100 * chunk;
    TempDir dir("pcg");
    const std::string file = dir / "huge.bin";
    const FileMarks marks = MarksAstrideFourGiB(size);
    ASSERT_TRUE(WriteSparse(file, size, marks));
    const std::string url = FullUrl("-", "huge.bin");
    auto json = [&](int64_t recordSize, int64_t pos, int64_t uploaded, const std::string& recordUrl) {
        return "{'size':" + std::to_string(recordSize) + ",'uploadsize':" + std::to_string(uploaded) +
               ",'uid':5000000001,'start':" + std::to_string(pos > 0 ? pos - 1 : 0) +
               ",'end':" + std::to_string(pos - 1) + ",'pos':" + std::to_string(pos) + ",'hash':'','url':'" +
               recordUrl + "','filename':'" + Escaped(file) + "'}";
    };

    // Three chunks before the end, so that one chunk straddles 4 GiB. They
    // pass through one buffer: 2 GiB of address space hold few of this size.
    WriteFile(dir / "huge.upbreak", EncodeBase64(json(size, last - 3 * chunk, last - 3 * chunk, url)));
    const size_t peak = PeakWorkingSet();
    EXPECT_EQ(Events(size, last - 3 * chunk, size, "OnFinish"), Upload(file, url, 77));
    EXPECT_LT(PeakWorkingSet() - peak, static_cast<size_t>(chunk + chunk / 4));
    std::vector<std::string> ranges;
    for (const SeenChunk& seen : ChunksSeen()) ranges.push_back(HeaderValue(seen.head, "X-Content-Range"));
    EXPECT_EQ((std::vector<std::string>{"bytes 4166128175-4209077949/4294977597",
                                        "bytes 4209077950-4252027724/4294977597",
                                        "bytes 4252027725-4294977499/4294977597",
                                        "bytes 4294977500-4294977596/4294977597"}),
              ranges);
    // Its earlier bytes never came, so the server still holds the session's part file.
    const std::string stored = ChunkFile("..\\parts\\huge.bin.5000000001");
    for (size_t m = 1; m < marks.size(); ++m)
        EXPECT_EQ(marks[m].second, ReadAt(stored, marks[m].first, marks[m].second.size())) << marks[m].first;
    EXPECT_TRUE(DeleteFileA(stored.c_str()));

    struct Case {
        const char* what;
        std::string record;
        int64_t firstByte;
    };
    for (const Case& c : {Case{"fits", EncodeBase64(json(size, last, last, url)), last},
                          Case{"not Base64", "%%%%not base64", 0},
                          Case{"Base64 of no JSON object", EncodeBase64("[1,2,3]"), 0},
                          Case{"another URL", EncodeBase64(json(size, last, last, url + "x")), 0},
                          Case{"another size", EncodeBase64(json(size - 1, last, last, url)), 0},
                          Case{"position beyond the size", EncodeBase64(json(size, size + 200, size + 200, url)), 0},
                          Case{"negative position", EncodeBase64(json(size, -104, -104, url)), 0},
                          Case{"position and acknowledged bytes differ",
                               EncodeBase64(json(size, last, last - 104, url)), 0}}) {
        SCOPED_TRACE(c.what);
        ForgetPeerHistory();
        WriteFile(dir / "huge.upbreak", c.record);
        std::vector<std::string> events;
        // Stop after the first chunk: enough to see where it started.
        events = Upload(file, url, 77, false, [](int) { return E_ABORT; });
        auto chunks = ChunksSeen();
        ASSERT_FALSE(chunks.empty());
        EXPECT_EQ(c.firstByte, chunks[0].first);
        EXPECT_EQ(c.firstByte ? "5000000001" : "77", chunks[0].session);
        EXPECT_EQ(c.firstByte ? "OnFinish" : "OnFail(3)", events.back());
        if (c.firstByte) {
            EXPECT_EQ("bytes " + std::to_string(last) + "-" + std::to_string(size - 1) + "/" + std::to_string(size),
                      HeaderValue(chunks[0].head, "X-Content-Range"));
        }
    }
}

// A file that changes size while it goes up still ends with an event.
TEST(PcgBigFileUpload, FileThatChangesSizeEndsWithAnEvent) {
    struct Case {
        const char* what;
        int64_t newSize;
        const char* end;
    };
    for (const Case& c : {Case{"shrinks", 5000, "OnFail(0)"}, Case{"grows", 30000, "OnFinish"}}) {
        SCOPED_TRACE(c.what);
        ForgetPeerHistory();
        TempDir dir("pcg");
        const std::string file = dir / "changing.bin";
        const std::string content = Pattern(20000, 6);
        WriteFile(file, content);
        auto resize = [&](int n) {
            if (n == 10) WriteFile(file, Pattern(static_cast<size_t>(c.newSize), 6));
            return S_OK;
        };
        auto events = Upload(file, FullUrl("-", "changing.bin"), 3, false, resize);
        EXPECT_EQ(c.end, events.back());
        if (c.newSize > 20000) {
            EXPECT_TRUE(content == ReadFile(ChunkFile("changing.bin")));
        } else {
            EXPECT_TRUE(FileExists(dir / "changing.upbreak"));
        }
    }
}

// With a real pipe in place of the file for a size that cannot be read.
TEST(PcgBigFileUpload, FileChecksBeforeTheFirstChunk) {
    TempDir dir("pcg");
    const std::string big = dir / "big.bin";
    WriteFile(big, Pattern(20000, 3));
    const std::string empty = dir / "empty.bin";
    WriteFile(empty, "");
    const std::string pipeName = "\\\\.\\pipe\\pcg-big-file-" + std::to_string(GetCurrentProcessId());
    UniqueHandle pipe(CreateNamedPipeA(pipeName.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0,
                                       nullptr));
    ASSERT_TRUE(pipe.Valid());

    struct Case {
        const char* what;
        std::string name;
        std::string opened;
        const char* expected;
    };
    for (const Case& c : {Case{"file gone", dir / "gone.bin", big, "OnFail(1)"},
                          Case{"size cannot be read", big, pipeName, "OnFail(1)"},
                          Case{"empty file", empty, empty, "OnFail(2)"}}) {
        SCOPED_TRACE(c.what);
        UniqueHandle file = OpenShared(c.opened);
        ASSERT_TRUE(file.Valid());
        auto sink = std::make_shared<RecordingProgress>();
        auto worker = std::make_unique<BigFileUploadWorker>(false, 7, c.name, std::move(file),
                                                            FullUrl("-", "big.bin"), sink, "t");
        worker->Start();
        worker.release();  // deletes itself when its run ends
        ASSERT_TRUE(sink->Wait());
        EXPECT_TRUE(WaitUntilSoleOwner(sink));
        EXPECT_EQ(std::vector<std::string>{c.expected}, sink->Names());
    }
    EXPECT_TRUE(ChunksSeen().empty());
}

}  // namespace
}  // namespace pcg
