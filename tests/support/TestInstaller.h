// Variants of test_installer.exe (built beside the test executables) with a
// plan of their own, a scratch product key in the registry that is removed
// again, and a plain run of an installer.
#pragma once

#include "TestFiles.h"
#include "TestInstallerPlan.h"

#include <windows.h>

#include <optional>
#include <string>

namespace testing_support {

// What the installer does when it runs; unset fields are left out of the
// plan (see TestInstaller.cpp for their meaning and defaults).
struct InstallerPlan {
    std::string key;                      // root\subkey of the product key
    int view = 64;                        // registry view: 64 or 32
    std::optional<std::string> path;      // "Path"; the directory is created
    bool makePath = true;                 // false: "Path" names a missing directory
    std::optional<std::string> version;   // "Version"
    std::optional<std::string> filePath;  // "FilePath"; "@exe": the product executable
    std::string exe;                      // product executable name, none when empty
    std::string exeDir;                   // its directory below Path
    std::string fileVersion;              // its fixed file version a.b.c.d
    int exitCode = 0;
    bool forever = false;                 // sleeps until killed
    bool readsItself = false;             // opens its image sharing only reading
};

inline std::string PlanText(const InstallerPlan& plan) {
    std::string text;
    auto add = [&text](const char* name, const std::string& value) {
        text += std::string(name) + "=" + value + "\n";
    };
    if (!plan.key.empty()) add("key", plan.key);
    add("view", std::to_string(plan.view));
    if (plan.path) add("path", *plan.path);
    if (!plan.makePath) add("mkdir", "0");
    if (plan.version) add("version", *plan.version);
    if (plan.filePath) add("filepath", *plan.filePath);
    if (!plan.exe.empty()) add("exe", plan.exe);
    if (!plan.exeDir.empty()) add("exedir", plan.exeDir);
    if (!plan.fileVersion.empty()) add("fileversion", plan.fileVersion);
    add("exit", std::to_string(plan.exitCode));
    if (plan.forever) add("forever", "1");
    if (plan.readsItself) add("selfshare", "read");
    return text;
}

inline std::string TestInstallerProgram() { return ExecutableDirectory() + "\\test_installer.exe"; }

// Writes test_installer.exe carrying `plan` to `out`; false when the
// program is missing (build the test_installer target) or `out` cannot be
// written.
inline bool WriteTestInstaller(const std::string& out, const InstallerPlan& plan) {
    const std::string program = ReadFile(TestInstallerProgram());
    if (program.empty()) return false;
    WriteFile(out, WithPlan(program, PlanText(plan)));
    return FileExists(out);
}

// Runs an installer directly (no shell) and returns its exit code, or -1
// when it cannot start or is still running after `ms`.
inline long RunInstaller(const std::string& installer, DWORD ms = 60000) {
    std::string commandLine = "\"" + installer + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return -1;
    CloseHandle(info.hThread);
    DWORD code = 0;
    const bool ended = WaitForSingleObject(info.hProcess, ms) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(info.hProcess, &code);
    if (!ended) TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hProcess);
    return ended ? static_cast<long>(code) : -1;
}

// A product key of this test process under HKEY_CURRENT_USER or
// HKEY_LOCAL_MACHINE\Software\PennantTests, deleted from both registry views
// when the test ends.
class ScratchProductKey {
public:
    ScratchProductKey(HKEY root, const char* rootName, const std::string& leaf)
        : root_(root),
          subkey_("Software\\PennantTests\\" + leaf + "-" + std::to_string(GetCurrentProcessId())),
          text_(std::string(rootName) + "\\" + subkey_) {
        Delete();
    }
    ~ScratchProductKey() { Delete(); }
    ScratchProductKey(const ScratchProductKey&) = delete;
    ScratchProductKey& operator=(const ScratchProductKey&) = delete;

    // "ROOT\Software\PennantTests\<leaf>-<pid>"
    const std::string& Text() const { return text_; }
    const std::string& Subkey() const { return subkey_; }

    void Delete() const {
        const size_t slash = subkey_.find_last_of('\\');
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
            HKEY parent = nullptr;
            if (RegOpenKeyExA(root_, subkey_.substr(0, slash).c_str(), 0, KEY_ALL_ACCESS | view,
                              &parent) != ERROR_SUCCESS)
                continue;
            RegDeleteTreeA(parent, subkey_.c_str() + slash + 1);
            RegCloseKey(parent);
            // The shared parent goes once the last test's key is gone.
            RegDeleteKeyExA(root_, subkey_.substr(0, slash).c_str(), view, 0);
        }
    }

private:
    HKEY root_;
    std::string subkey_;
    std::string text_;
};

}  // namespace testing_support
