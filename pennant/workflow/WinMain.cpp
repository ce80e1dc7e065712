#include "workflow/Program.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandTail, int) {
    return pennant::RunPennant(instance, commandTail);
}
