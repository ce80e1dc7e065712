// What the big-file worker checks before its first chunk, with real files
// and, for a size that cannot be read, a real pipe in place of the file.
#include "BigFileUploadWorker.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "HttpPeers.h"
#include "RecordingProgress.h"
#include "TestFiles.h"

namespace pcg {
namespace {

using namespace testing_support;

UniqueHandle OpenShared(const std::string& name) {
    return UniqueHandle(CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

TEST(PcgBigFileUploadWorker, FileChecksBeforeTheFirstChunk) {
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
                          Case{"empty file", empty, empty, "OnFail(2)"},
                          Case{"big file (upload still a placeholder)", big, big, "OnFail(0)"}}) {
        SCOPED_TRACE(c.what);
        UniqueHandle file = OpenShared(c.opened);
        ASSERT_TRUE(file.Valid());
        auto sink = std::make_shared<RecordingProgress>();
        auto worker = std::make_unique<BigFileUploadWorker>(false, 7, c.name, std::move(file),
                                                            "http://127.0.0.1:9/up?access_token=t", sink, "t");
        worker->Start();
        worker.release();  // deletes itself when its run ends
        ASSERT_TRUE(sink->Wait());
        EXPECT_TRUE(WaitUntilSoleOwner(sink));
        EXPECT_EQ(std::vector<std::string>{c.expected}, sink->Names());
    }
}

}  // namespace
}  // namespace pcg
