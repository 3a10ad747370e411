// The texts an executable's slots would give, fixed for the tests (the
// target template may be set by a test).
#include "paths/build_texts.h"

const wchar_t *test_target_template = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";

const wchar_t* build_target_template() { return test_target_template; }
const wchar_t* build_company() { return L"Tarven Test Company"; }
const wchar_t* build_product() { return L"Tarven Test Product"; }
const wchar_t* build_version() { return L"1.2.3.4"; }
const wchar_t* build_payload_id() { return L"0123456789abcdef"; }
