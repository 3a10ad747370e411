// Texts fixed when the executable is built. The packer emits them beside the
// payload; COMPANY, PRODUCT and the three version variables expand to them, and
// the version resource carries the same texts.
#pragma once

extern "C" const wchar_t tarven_target_template[];
extern "C" const wchar_t tarven_company[];
extern "C" const wchar_t tarven_product[];
extern "C" const wchar_t tarven_version[];
