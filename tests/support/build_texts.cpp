// The texts the packer would link into an executable, fixed for the tests.
#include "paths/build_texts.h"

extern "C" const wchar_t TARVEN_TARGET_TEMPLATE[] = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
extern "C" const wchar_t TARVEN_COMPANY[] = L"Tarven Test Company";
extern "C" const wchar_t TARVEN_PRODUCT[] = L"Tarven Test Product";
extern "C" const wchar_t TARVEN_VERSION[] = L"1.2.3.4";
