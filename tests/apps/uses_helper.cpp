// An application library that imports helper.dll, a second library of the
// payload: the system must find it in the unpacked folder. Returns its answer.
extern "C" __declspec(dllimport) int helper_answer(void);

extern "C" __declspec(dllexport) int run_code(int, wchar_t **, const wchar_t *) { return helper_answer(); }
