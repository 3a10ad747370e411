// The stored payload as the packer links it into the executable's read-only
// data: its first byte and its size. The launcher never searches for it.
#pragma once

#include "contract/contract.h"

extern "C" const unsigned char TARVEN_PAYLOAD_START[];
extern "C" const unsigned long long TARVEN_PAYLOAD_SIZE;
