// Fixtures of the Parcelgate COM tests: each test runs in a single-threaded
// apartment, as the server's clients do, with the built DLL loaded.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include "PcgComClient.h"

namespace testing_support {

class ComApartmentTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { CoUninitialize(); }
};

class ComClientTest : public ComApartmentTest {
protected:
    void SetUp() override {
        ComApartmentTest::SetUp();
        ASSERT_NE(nullptr, dll_.Module());
    }

    ServerDll dll_;
    TransferClient client_{dll_};
};

}  // namespace testing_support
