// Texts fixed when the executable is built. The packer emits them beside the
// payload; COMPANY, PRODUCT and the three version variables expand to them, and
// the version resource carries the same texts.
#pragma once

#include "contract/contract.h"

extern "C" const wchar_t TARVEN_TARGET_TEMPLATE[];
extern "C" const wchar_t TARVEN_COMPANY[];
extern "C" const wchar_t TARVEN_PRODUCT[];
extern "C" const wchar_t TARVEN_VERSION[];
