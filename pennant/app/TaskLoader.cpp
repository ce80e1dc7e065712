#include "app/Codes.h"
#include "app/Log.h"
#include "app/Task.h"

namespace pennant {

void TaskLoader(const std::string& argument) {
    TaskHolder* holder = CurrentTaskHolder();
    if (!holder) return;
    Task& task = holder->task;

    if (!ParseTask(argument, task)) {
        SendMessageA(holder->window, WM_COMMAND, MAKEWPARAM(ExitCommand, 0), 0);
        return;
    }

    SendMessageA(holder->window, WM_TASK_READY, 0, 0);
}

}  // namespace pennant
