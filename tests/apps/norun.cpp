// A library without the run_code export.
extern "C" __declspec(dllexport) int something_else(void) { return 1; }
