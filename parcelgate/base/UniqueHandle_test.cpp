#include "base/UniqueHandle.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <utility>

namespace pcg {
namespace {

bool IsOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(PcgUniqueHandle, MovesReleasesAndKeepsTheLastErrorAcrossTheClose) {
    UniqueHandle first(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(first.Valid());
    const HANDLE raw = first.Get();
    UniqueHandle moved(std::move(first));
    EXPECT_FALSE(first.Valid());
    EXPECT_EQ(raw, moved.Get());

    UniqueHandle released(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE handed = released.Release();
    EXPECT_FALSE(released.Valid());
    EXPECT_TRUE(IsOpen(handed));
    CloseHandle(handed);

    // A close that itself fails must not overwrite the error being reported.
    CloseHandle(raw);
    SetLastError(ERROR_DISK_FULL);
    moved.Reset();
    EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());

    UniqueHandle closed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE owned = closed.Get();
    closed.Reset();
    EXPECT_FALSE(IsOpen(owned));
}

}  // namespace
}  // namespace pcg
