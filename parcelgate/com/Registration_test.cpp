// The registry entries of the server, written below a scratch key of the
// current user instead of HKEY_CLASSES_ROOT: their table, the short path for
// a path with a blank, the failure text, and removal.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "com/ComError.h"
#include "PcgComClient.h"
#include "com/Registration.h"

namespace {

using namespace testing_support;

const wchar_t kScratch[] = L"Software\\PcgComRegistrationTest";

std::wstring ReadValue(HKEY root, const std::wstring& key, const std::wstring& name) {
    wchar_t data[1024] = {};
    DWORD size = sizeof data;
    if (RegGetValueW(root, key.c_str(), name.empty() ? nullptr : name.c_str(), RRF_RT_REG_SZ, nullptr, data, &size) !=
        ERROR_SUCCESS)
        return L"<missing>";
    return data;
}

bool KeyExists(HKEY root, const std::wstring& key) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    RegCloseKey(opened);
    return true;
}

class PcgComRegistration : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kScratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                 &root_, nullptr));
    }
    void TearDown() override {
        RegCloseKey(root_);
        RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
    }
    HKEY root_ = nullptr;
};

TEST_F(PcgComRegistration, ServerTable) {
    TempDir dir("pcg");
    const std::string dll = dir / "Parcelgate.dll";
    WriteFile(dll, "MZ");
    auto registrations = pcg::ServerRegistrations(Wide(dll));
    ASSERT_EQ(2u, registrations.size());
    EXPECT_EQ(L"{995CEE8E-B749-47EC-8CC0-4BC7F0C0125D}", registrations[0].clsid);
    EXPECT_EQ(L"Parcelgate.NetFileEngine", registrations[0].progId);
    EXPECT_EQ(L"NetFileEngine Object", registrations[0].description);
    EXPECT_EQ(L"{908CCA94-17DB-4C1F-B0DB-0BF351FC6EB0}", registrations[1].clsid);
    EXPECT_EQ(L"Parcelgate.NetFileTrans", registrations[1].progId);
    EXPECT_EQ(L"", registrations[1].description);
    for (const auto& entry : registrations) {
        EXPECT_EQ(Wide(dll), entry.serverPath);
        EXPECT_EQ(L"1.0", entry.version);
        EXPECT_EQ(L"{7AE723F7-8170-4974-9D8A-31E9F3CFDE5D}", entry.libid);
    }
}

TEST_F(PcgComRegistration, WritesEveryValueAndRemovesEveryKey) {
    TempDir dir("pcg");
    const std::string blankDir = dir / "with blank";
    CreateDirectoryA(blankDir.c_str(), nullptr);
    const std::string dll = blankDir + "\\Parcelgate.dll";
    WriteFile(dll, "MZ");
    auto registrations = pcg::ServerRegistrations(Wide(dll));
    ASSERT_EQ(2u, registrations.size());
    const std::wstring shortPath = registrations[0].serverPath;
    EXPECT_EQ(std::wstring::npos, shortPath.find(L' ')) << Narrow(shortPath);
    EXPECT_NE(Wide(dll), shortPath);

    for (const auto& entry : registrations) pcg::WriteClassValues(root_, entry);
    for (const auto& entry : registrations) {
        const std::wstring classKey = L"CLSID\\" + entry.clsid;
        EXPECT_EQ(entry.description, ReadValue(root_, classKey, L""));
        EXPECT_EQ(shortPath, ReadValue(root_, classKey + L"\\InprocServer32", L""));
        EXPECT_EQ(L"Apartment", ReadValue(root_, classKey + L"\\InprocServer32", L"ThreadingModel"));
        EXPECT_EQ(entry.description, ReadValue(root_, entry.progId, L""));
        EXPECT_EQ(entry.clsid, ReadValue(root_, entry.progId + L"\\Clsid", L""));
        EXPECT_EQ(entry.progId, ReadValue(root_, classKey + L"\\ProgID", L""));
        EXPECT_EQ(L"1.0", ReadValue(root_, classKey + L"\\Version", L""));
        EXPECT_EQ(L"{7AE723F7-8170-4974-9D8A-31E9F3CFDE5D}", ReadValue(root_, classKey + L"\\TypeLib", L""));
    }

    // Removal leaves nothing of ours; a second removal finds nothing to do.
    for (const auto& entry : registrations) EXPECT_TRUE(pcg::DeleteClassKeys(root_, entry));
    for (const auto& entry : registrations) {
        EXPECT_FALSE(KeyExists(root_, L"CLSID\\" + entry.clsid));
        EXPECT_FALSE(KeyExists(root_, entry.progId));
        EXPECT_TRUE(pcg::DeleteClassKeys(root_, entry));
    }
}

TEST_F(PcgComRegistration, KeyThatCannotBeCreatedFails) {
    // A key name longer than the registry allows.
    pcg::ClassRegistration entry{L"{995CEE8E-B749-47EC-8CC0-4BC7F0C0125D}", std::wstring(300, L'P'),
                                 L"NetFileEngine Object", L"C:\\x\\Parcelgate.dll", L"1.0",
                                 L"{7AE723F7-8170-4974-9D8A-31E9F3CFDE5D}"};
    try {
        pcg::WriteClassValues(root_, entry);
        ADD_FAILURE() << "no error";
    } catch (const pcg::OleError& e) {
        // The registry's own error, not a bare E_FAIL.
        EXPECT_EQ(FACILITY_WIN32, HRESULT_FACILITY(e.Code())) << std::hex << e.Code();
        EXPECT_STREQ("Error creating system registry entry", e.what());
    }
}

TEST(PcgComServerPath, ShortOnlyWithABlank) {
    EXPECT_EQ(L"C:\\windows\\system32\\x.dll", pcg::RegisteredServerPath(L"C:\\windows\\system32\\x.dll"));
    // No short form for a path that does not exist: the path itself.
    EXPECT_EQ(L"C:\\no such dir\\x.dll", pcg::RegisteredServerPath(L"C:\\no such dir\\x.dll"));
}

}  // namespace
