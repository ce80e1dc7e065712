#include "workflow/TaskLoader.h"

#include "app/Codes.h"
#include "app/Log.h"
#include "app/Task.h"
#include "http/HttpTasks.h"

namespace pennant {

void TaskLoader(const std::string& argument) {
    TaskHolder* holder = CurrentTaskHolder();
    if (!holder) return;
    Task& task = holder->task;

    if (!ParseTask(argument, task)) {
        SendMessageA(holder->window, WM_COMMAND, MAKEWPARAM(ExitCommand, 0), 0);
        return;
    }

    // Both requests are bounded by the WinHTTP time-outs, plus, on an
    // origin's first use, the choice of its proxy (a script to fetch and run,
    // or automatic detection, can take seconds); a field the query could not
    // fill keeps its empty value.
    uint64_t size = 0;
    QueryResourceInfo(task.url, &size, &task.etag, &task.lastModified);
    task.size = static_cast<int64_t>(size);

    if (!task.logo.empty()) {
        DownloadToTempFile(task.logo, &task.logoFile);
        Log(LogProgress, "download logo to %s", task.logoFile.c_str());
    }

    SendMessageA(holder->window, WM_TASK_READY, 0, 0);
}

}  // namespace pennant
