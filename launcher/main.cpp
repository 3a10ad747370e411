// The launcher's entry point: a GUI program that opens no window.
#include <windows.h>
#include <stdlib.h>

#include "launcher/run.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    return static_cast<int>(run_launcher(ArgumentVector{__argc, __wargv}));
}
