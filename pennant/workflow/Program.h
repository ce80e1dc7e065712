// Start and end of the pennant process: the single-instance rule, the
// start-up of Winsock, GDI+ and the window, and the message loop.
#pragma once

#include <windows.h>

#include <string>

namespace pennant {

// Number of running processes named "pennant.exe" (any case), this one
// included; decides alone only when the instance mark cannot be made.
int InstanceCount();

// The task argument: the text after the last space of the command-line
// tail, or the whole tail when it has no space.
std::string ArgumentFromCommandLine(const char* commandTail);

// Creates the hidden main window, adds the tray icon and loads the task.
bool initInstance(HINSTANCE instance, const std::string& argument, const char* className,
                  const char* title);

// The whole process from opening the log to closing it; returns the exit
// code, with which WinMain then ends the process.
int RunPennant(HINSTANCE instance, const char* commandTail);

}  // namespace pennant
