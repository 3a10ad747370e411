// The launcher's entry points: a GUI program (the default; it opens no
// window but the opt-in progress window), or a console program (packed with
// --console), which the C runtime enters through wmain. Both run the same sequence.
#include <windows.h>
#include <stdlib.h>

#include "run/run.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    return static_cast<int>(run_launcher(ArgumentVector{__argc, __wargv}));
}

int wmain(int argc, wchar_t **argv) { return static_cast<int>(run_launcher(ArgumentVector{argc, argv})); }
