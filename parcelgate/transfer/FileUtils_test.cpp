#include "transfer/FileUtils.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "TestFiles.h"

namespace pcg {
namespace {

using testing_support::TempDir;

TEST(PcgFileHelpers, WriteThenReadRoundTripsBinaryBytesAndTruncates) {
    TempDir dir;
    std::string name = dir / "data.bin";
    std::string bytes;
    for (int i = 0; i < 70000; ++i) bytes += static_cast<char>(i * 7);
    WriteStringToFile(name, bytes);
    EXPECT_EQ(bytes, ReadFileToString(name));
    WriteStringToFile(name, "short");
    EXPECT_EQ("short", ReadFileToString(name));
    WriteStringToFile(name, "");
    EXPECT_EQ(0, testing_support::FileSize(name));
    EXPECT_EQ("", ReadFileToString(name));
}

TEST(PcgFileHelpers, ReadSharesWithWritersAndFailsForHeldOrMissingFiles) {
    TempDir dir;
    std::string name = dir / "locked.txt";
    testing_support::WriteFile(name, "abc");
    struct Case {
        DWORD access, share;
        bool readable;
    };
    for (const Case& c : {Case{GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, true},  // open for writing elsewhere
                          Case{GENERIC_READ, FILE_SHARE_READ, true},
                          Case{GENERIC_READ, 0, false}}) {  // held without sharing
        SCOPED_TRACE(c.share);
        UniqueHandle holder(CreateFileA(name.c_str(), c.access, c.share, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder.Valid());
        if (c.readable)
            EXPECT_EQ("abc", ReadFileToString(name));
        else
            EXPECT_THROW(ReadFileToString(name), TransferError);
    }
    EXPECT_THROW(ReadFileToString(dir / "missing.txt"), TransferError);
    EXPECT_THROW(WriteStringToFile(dir / "no\\such\\dir.txt", "x"), TransferError);
}

TEST(PcgFileHelpers, DeleteIfExistsIsIdempotent) {
    TempDir dir;
    std::string name = dir / "f.txt";
    testing_support::WriteFile(name, "content");
    EXPECT_TRUE(FileExists(name));
    EXPECT_TRUE(DeleteFileIfExists(name));
    EXPECT_FALSE(FileExists(name));
    EXPECT_TRUE(DeleteFileIfExists(name));
}

TEST(PcgGetFileSize64, MinusOneForMissingSizeOtherwiseAlsoForRelativeNames) {
    TempDir dir;
    EXPECT_EQ(-1, GetFileSize64(dir / "missing"));
    EXPECT_EQ(-1, GetFileSize64(dir.Path()));
    EXPECT_FALSE(FileExists(dir.Path()));
    std::string name = dir / "sized.bin";
    testing_support::WriteFile(name, std::string(10241, 'x'));
    EXPECT_EQ(10241, GetFileSize64(name));

    char previous[MAX_PATH];
    GetCurrentDirectoryA(sizeof previous, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(dir.Path().c_str()));
    EXPECT_EQ(10241, GetFileSize64("sized.bin"));
    EXPECT_EQ(-1, GetFileSize64("nothing.bin"));
    SetCurrentDirectoryA(previous);
}

}  // namespace
}  // namespace pcg
