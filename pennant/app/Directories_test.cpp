#include "app/Directories.h"

#include "TestFiles.h"

#include <gtest/gtest.h>

#include <thread>

using namespace pennant;
using testing_support::TempDir;

namespace {

bool IsDirectory(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Sets an environment variable for the test and restores it afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        char buffer[32768];
        DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
        had_ = n > 0 && n < sizeof buffer;
        if (had_) old_.assign(buffer, n);
        SetEnvironmentVariableA(name, value);
    }
    ~ScopedEnvironment() { SetEnvironmentVariableA(name_, had_ ? old_.c_str() : nullptr); }

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

}  // namespace

TEST(WorkDirectory, CreatesTheThreeLevelsUnderTheCommonFolderAndReusesThem) {
    TempDir common("cmn");
    const std::string expected = common / "Aldermoor\\Quillon\\2.0";
    EXPECT_EQ(expected, LookupWorkDirectory(common.Path(), true, "2.0"));
    EXPECT_TRUE(IsDirectory(expected));
    EXPECT_EQ(expected, LookupWorkDirectory(common.Path(), true, "2.0"));
    EXPECT_EQ(common / "Aldermoor\\Quillon\\download",
              LookupWorkDirectory(common.Path(), true, "download"));
}

TEST(WorkDirectory, UnwritableCommonFolderFallsBackToAppData) {
    TempDir common("cmn");
    TempDir roaming("rom");
    // A read-only file where the last level belongs: present, not writable,
    // and impossible to create as a directory.
    ASSERT_EQ(common / "Aldermoor\\Quillon\\download",
              LookupWorkDirectory(common.Path(), true, "download"));
    const std::string locked = common / "Aldermoor\\Quillon\\2.0";
    testing_support::WriteFile(locked, "");
    ASSERT_TRUE(SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_READONLY));
    ScopedEnvironment appData("APPDATA", roaming.Path().c_str());

    const std::string fallback = roaming / "Aldermoor\\Quillon\\2.0";
    EXPECT_EQ(fallback, LookupWorkDirectory(common.Path(), true, "2.0"));
    EXPECT_TRUE(IsDirectory(fallback));
    // The fallback made by an earlier run serves again.
    EXPECT_EQ(fallback, LookupWorkDirectory(common.Path(), true, "2.0"));
    SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(WorkDirectory, UnknownCommonFolderUsesAppDataThenTemp) {
    TempDir roaming("rom");
    TempDir temp("tmp");
    {
        ScopedEnvironment appData("APPDATA", roaming.Path().c_str());
        EXPECT_EQ(roaming / "Aldermoor\\Quillon\\download", LookupWorkDirectory("", false, "download"));
    }
    ScopedEnvironment noAppData("APPDATA", nullptr);
    {
        ScopedEnvironment tempVar("TEMP", temp.Path().c_str());
        EXPECT_EQ(temp / "Aldermoor\\Quillon\\download", LookupWorkDirectory("", false, "download"));
    }
    // Neither variable: the drive-relative path of the first step comes back.
    ScopedEnvironment noTemp("TEMP", nullptr);
    EXPECT_EQ("\\Aldermoor\\Quillon\\download", LookupWorkDirectory("", false, "download"));
}

TEST(WorkDirectory, GettersAgreeAcrossThreadsAndLieUnderProgramData) {
    ResetWorkDirectoryCache();
    std::vector<std::string> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] {
            seen[i] = i % 2 ? GetAppDataDirectory() : GetDownloadDirectory();
        });
    for (std::thread& t : threads) t.join();
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(i % 2 ? GetAppDataDirectory() : GetDownloadDirectory(), seen[i]);
    EXPECT_NE(std::string::npos, GetAppDataDirectory().find("\\Aldermoor\\Quillon\\2.0"));
    EXPECT_NE(std::string::npos, GetDownloadDirectory().find("\\Aldermoor\\Quillon\\download"));
    EXPECT_TRUE(IsDirectory(GetDownloadDirectory()));
}
