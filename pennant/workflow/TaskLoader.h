// Start-up loading of the task: parse the argument, ask the server about the
// installer, fetch the logo.
#pragma once

#include <string>

namespace pennant {

// Parses the argument, asks the server about the installer, fetches the logo
// and then sends WM_TASK_READY or ExitCommand to the holder's window.
void TaskLoader(const std::string& argument);

}  // namespace pennant
