// The texts the packer would link into an executable, fixed for the tests.
extern "C" const wchar_t tarven_target_template[] = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
extern "C" const wchar_t tarven_company[] = L"Tarven Test Company";
extern "C" const wchar_t tarven_product[] = L"Tarven Test Product";
extern "C" const wchar_t tarven_version[] = L"1.2.3.4";
