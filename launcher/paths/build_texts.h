// Texts fixed when the executable is written. The packer stores them beside
// the payload; COMPANY, PRODUCT and the three version variables expand to
// them, and the version resource carries the same texts. The executable's
// slots provide them (launcher/run/image_slots.cpp); tests provide their own.
#pragma once

#include "contract/contract.h"

// Each returns a text ending with a zero unit, never null.
const wchar_t* build_target_template();
const wchar_t* build_company();
const wchar_t* build_product();
const wchar_t* build_version();
// The stored payload's id: 16 lowercase hex digits, {PAYLOAD_ID} in templates.
const wchar_t* build_payload_id();
