// A second library of the payload, which the application library imports.
extern "C" __declspec(dllexport) int helper_answer(void) { return 42; }
