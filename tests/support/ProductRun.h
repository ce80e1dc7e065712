// One workflow run's product: a scratch product key and directory, both
// gone after the run, the task that names the key, and test_installer.exe
// bytes that install the task's version there.
#pragma once

#include "PennantRun.h"
#include "TestFiles.h"
#include "TestInstaller.h"

#include <algorithm>
#include <string>

namespace testing_support {

struct ProductRun {
    explicit ProductRun(const std::string& name)
        : key(HKEY_CURRENT_USER, "HKEY_CURRENT_USER", name), task(RunTask::Named(name + ".exe")) {
        task.path = key.Text();  // the JSON carries the key with forward slashes
        std::replace(task.path.begin(), task.path.end(), '\\', '/');
    }

    // The installer's bytes; empty when it could not be written.
    std::string Installer() const {
        InstallerPlan plan;
        plan.key = key.Text();
        plan.path = dir / "Product";
        plan.version = task.version;
        const std::string file = dir / "setup.exe";
        return WriteTestInstaller(file, plan) ? ReadFile(file) : std::string();
    }

    ScratchProductKey key;
    TempDir dir{"prd"};
    RunTask task;
};

}  // namespace testing_support
