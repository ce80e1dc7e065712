#include "workflow/InstallCheck.h"

#include "LogCapture.h"
#include "TestInstaller.h"
#include "app/Log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <utility>
#include <vector>

using namespace pennant;
using namespace testing_support;

namespace {

std::string Replace(std::string text, const std::string& mark, const std::string& by) {
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + by.size()))
        text.replace(at, mark.size(), by);
    return text;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

// Each case installs with a real test installer, then checks. In texts,
// {dir} is the installed directory and {sub} the key below its root.
TEST(InstallCheck, JudgesWhatTheInstallerLeftBehind) {
    struct Case {
        const char* name;
        bool machine;  // the key under HKEY_LOCAL_MACHINE, where the views differ
        std::function<void(InstallerPlan&)> change;
        std::function<std::string(const ScratchProductKey&)> keyText;  // default: the key
        const char* exe;
        const char* expect;
        bool view64;
        bool pass;
        std::vector<std::pair<int, std::string>> lines;
    };
    const auto none = [](InstallerPlan&) {};
    const Case cases[] = {
        {"root in lower case", false, none,
         [](const ScratchProductKey& k) { return Lower(k.Text()); }, "Product.exe", "2.0.1.0",
         true, true, {{LogProgress, "Install check : PASS"}}},
        {"abbreviated root", false, none,
         [](const ScratchProductKey& k) { return "HKLM\\" + k.Subkey(); }, "Product.exe",
         "2.0.1.0", true, false, {{LogWarning, "Invalid path: {sub}."}}},
        {"same text in other case", false, [](InstallerPlan& p) { p.version = "2.0.1-RC"; },
         nullptr, "Product.exe", "2.0.1-rc", true, true, {{LogProgress, "Install check : PASS"}}},
        {"fewer parts", false, [](InstallerPlan& p) { p.version = "1.0"; }, nullptr,
         "Product.exe", "1.0.0.0", true, false,
         {{LogError, "version unmatch, 1.0 (curr) != 1.0.0.0 (expect), install fail"}}},
        {"leading zero", false, none, nullptr, "Product.exe", "2.0.01.0", true, false,
         {{LogError, "version unmatch, 2.0.1.0 (curr) != 2.0.01.0 (expect), install fail"}}},
        {"version from the file two levels down", false,
         [](InstallerPlan& p) { p.version.reset(); }, nullptr, "product.EXE", "3.4.5.6", true,
         true,
         {{LogWarning, "read version from Reg failed, errno = 2"},
          {LogProgress, "find target exe at {dir}\\bin\\x64\\product.EXE"},
          {LogProgress, "get version from file: {dir}"},
          {LogProgress, "Install check : PASS"}}},
        {"no version and no exe name", false, [](InstallerPlan& p) { p.version.reset(); },
         nullptr, "", "3.4.5.6", true, false,
         {{LogWarning, "exe field is empty, no file to read version from !"}}},
        {"no version and no such exe", false, [](InstallerPlan& p) { p.version.reset(); },
         nullptr, "Other.exe", "3.4.5.6", true, false,
         {{LogError, "can not find any file named 'Other.exe' under path '{dir}', get product "
                     "version by file failed"}}},
        {"no FilePath", false, [](InstallerPlan& p) { p.filePath.reset(); }, nullptr,
         "Product.exe", "2.0.1.0", true, true,
         {{LogWarning, "read FilePath from Reg failed, skip"},
          {LogWarning, "FilePath not found, skip check"},
          {LogProgress, "Install check : PASS"}}},
        {"FilePath missing", false, [](InstallerPlan& p) { p.filePath = *p.path + "\\gone.dll"; },
         nullptr, "Product.exe", "2.0.1.0", true, false,
         {{LogError, "Install failed, install file [{dir}\\gone.dll] is not existent."}}},
        {"Path missing", false,
         [](InstallerPlan& p) {
             p.makePath = false;
             p.exe.clear();
             p.filePath.reset();
         },
         nullptr, "Product.exe", "2.0.1.0", true, false,
         {{LogError, "Install failed, install path[{dir}] is not existent."}}},
        {"no Path value", false,
         [](InstallerPlan& p) {
             p.path.reset();
             p.exe.clear();
             p.filePath.reset();
         },
         nullptr, "Product.exe", "2.0.1.0", true, false,
         {{LogWarning, "read installed path from Reg failed."}}},
        {"no key", false, [](InstallerPlan& p) { p.key.clear(); }, nullptr, "Product.exe",
         "2.0.1.0", true, false, {{LogWarning, "Open [{sub}]  failed for read 64 bits place."}}},
        {"32-bit view read as 32", true, [](InstallerPlan& p) { p.view = 32; }, nullptr,
         "Product.exe", "2.0.1.0", false, true, {{LogProgress, "Install check : PASS"}}},
        {"32-bit view read as 64", true, [](InstallerPlan& p) { p.view = 32; }, nullptr,
         "Product.exe", "2.0.1.0", true, false,
         {{LogWarning, "Open [{sub}]  failed for read 64 bits place."}}},
        {"64-bit view read as 32", true, none, nullptr, "Product.exe", "2.0.1.0", false, false,
         {{LogWarning, "Open [{sub}]  failed for read 32 bits place."}}},
        // Where installers of each kind put products; a 32-bit check must not
        // be redirected away from either folder.
        {"file under Program Files, 64-bit view", true,
         [](InstallerPlan& p) {
             p.version.reset();
             p.path = "C:\\Program Files\\PennantCheck";
         },
         nullptr, "Product.exe", "3.4.5.6", true, true,
         {{LogProgress, "find target exe at {dir}\\bin\\x64\\Product.exe"},
          {LogProgress, "Install check : PASS"}}},
        {"file under Program Files (x86), 32-bit view", true,
         [](InstallerPlan& p) {
             p.view = 32;
             p.version.reset();
             p.path = "C:\\Program Files (x86)\\PennantCheck";
         },
         nullptr, "Product.exe", "3.4.5.6", false, true,
         {{LogProgress, "find target exe at {dir}\\bin\\x64\\Product.exe"},
          {LogProgress, "Install check : PASS"}}},
    };
    ScratchProductKey userKey(HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "check");
    ScratchProductKey machineKey(HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "check");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ScratchProductKey& key = c.machine ? machineKey : userKey;
        key.Delete();
        TempDir dir("chk");
        InstallerPlan plan;
        plan.key = key.Text();
        plan.path = dir / "Product";
        plan.version = "2.0.1.0";
        plan.filePath = "@exe";
        plan.exe = "Product.exe";
        plan.exeDir = "bin\\x64";
        plan.fileVersion = "3.4.5.6";
        c.change(plan);
        const std::string installed = plan.path.value_or(dir / "Product");
        struct Uninstall {
            std::string path;
            ~Uninstall() {
                std::error_code ec;
                std::filesystem::remove_all(path, ec);
            }
        } uninstall{installed};
        ASSERT_TRUE(WriteTestInstaller(dir / "setup.exe", plan));
        ASSERT_EQ(0, RunInstaller(dir / "setup.exe"));

        pennant_test::LogCapture log;
        const std::string keyText = c.keyText ? c.keyText(key) : key.Text();
        EXPECT_EQ(c.pass, InstallCheck(keyText, c.exe, c.expect, c.view64));
        for (const auto& line : c.lines) {
            const std::string text =
                Replace(Replace(line.second, "{dir}", installed), "{sub}", key.Subkey());
            EXPECT_TRUE(log.ContainsAt(line.first, text)) << text << "\n" << log.Text();
        }
    }
}

// Values as other programs may have stored them: without a terminating zero,
// filling or overflowing the 260 bytes read, or not text at all.
TEST(ReadInstalledState, ReadsTextValuesOfAtMost260Bytes) {
    struct Case {
        const char* name;
        DWORD type;
        std::string bytes;
        bool read;  // false: the value counts as absent
    } cases[] = {
        {"no terminating zero", REG_SZ, "7.7.7.7", true},
        {"259 characters", REG_SZ, std::string(259, '9') + '\0', true},
        {"300 characters", REG_SZ, std::string(300, '7') + '\0', false},
        {"expandable text", REG_EXPAND_SZ, std::string("%v%") + '\0', true},
        {"a number", REG_DWORD, std::string("\x01\x00\x00\x00", 4), false},
    };
    ScratchProductKey key(HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "values");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HKEY product = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, key.Subkey().c_str(), 0,
                                                 nullptr, 0, KEY_ALL_ACCESS, nullptr, &product,
                                                 nullptr));
        RegSetValueExA(product, "Path", 0, REG_SZ, reinterpret_cast<const BYTE*>("C:\\p"), 5);
        RegSetValueExA(product, "Version", 0, c.type,
                       reinterpret_cast<const BYTE*>(c.bytes.data()),
                       static_cast<DWORD>(c.bytes.size()));
        RegCloseKey(product);

        pennant_test::LogCapture log;
        InstalledState state;
        EXPECT_EQ(c.read, ReadInstalledState(key.Text(), "", true, state));
        if (c.read) {
            EXPECT_EQ(std::string(c.bytes.c_str()), state.version);
            EXPECT_EQ("C:\\p", state.path);
        } else {
            EXPECT_TRUE(log.ContainsAt(LogWarning, "read version from Reg failed, errno = "));
        }
        key.Delete();
    }
}
