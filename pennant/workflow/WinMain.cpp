#include "workflow/Program.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandTail, int) {
    // The log is closed and every report has had its time: end the process
    // here, with whatever threads are left (a worker that did not stop, the
    // installer's wait, a report that hangs), before any static object they
    // might still use is destroyed under them.
    ExitProcess(static_cast<UINT>(pennant::RunPennant(instance, commandTail)));
}
