#include "ui/Tray.h"

#include "LogCapture.h"

#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>

using namespace pennant;

TEST(ClassifyOs, EachVersionGetsTheRecordItsShellAccepts) {
    const DWORD nt = VER_PLATFORM_WIN32_NT;
    const struct {
        DWORD platform, major, minor, size;
        const char* name;
    } cases[] = {
        {VER_PLATFORM_WIN32_WINDOWS, 4, 10, NOTIFYICONDATAA_V1_SIZE, "Win9X detected"},
        {nt, 4, 0, NOTIFYICONDATAA_V1_SIZE, nullptr},
        {nt, 5, 0, NOTIFYICONDATAA_V2_SIZE, "Win2K detected"},
        {nt, 5, 1, NOTIFYICONDATAA_V3_SIZE, "WinXP detected"},
        {nt, 5, 2, NOTIFYICONDATAA_V2_SIZE, "Win2K detected"},
        {nt, 6, 0, sizeof(NOTIFYICONDATAA), "Vista detected"},
        {nt, 6, 1, sizeof(NOTIFYICONDATAA), "Win7 detected"},
        {nt, 6, 2, sizeof(NOTIFYICONDATAA), "Win8 detected"},
        {nt, 6, 3, sizeof(NOTIFYICONDATAA), "Win8.1 detected"},
        {nt, 6, 4, NOTIFYICONDATAA_V1_SIZE, nullptr},
        {nt, 10, 0, sizeof(NOTIFYICONDATAA), "Win10 detected"},
    };
    for (const auto& c : cases) {
        const OsClass found = ClassifyOs(c.platform, c.major, c.minor);
        const std::string where = std::to_string(c.major) + "." + std::to_string(c.minor);
        EXPECT_EQ(c.size, found.recordSize) << where;
        EXPECT_EQ(std::string(c.name ? c.name : "-"), found.name ? found.name : "-") << where;
    }
}

TEST(OsVersionProbe, LogsTheVersionAndItsClass) {
    pennant_test::LogCapture log;
    const DWORD size = OsVersionProbe();
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(GetVersionExA(&info));
#pragma GCC diagnostic pop
    const OsClass expected = ClassifyOs(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion);
    EXPECT_EQ(expected.recordSize, size);
    EXPECT_TRUE(log.Contains("OS Major " + std::to_string(info.dwMajorVersion) + ", Minor " +
                             std::to_string(info.dwMinorVersion)));
    if (expected.name) {
        EXPECT_TRUE(log.Contains(expected.name));
    }
}
