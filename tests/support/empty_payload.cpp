// A stored payload that is only its marker: the unit tests drive the reader
// over payloads of their own.
#include "payload/stored.h"

extern "C" const unsigned char TARVEN_PAYLOAD_START[] = {'W', 'E', 'Q'};
extern "C" const unsigned long long TARVEN_PAYLOAD_SIZE = 3;
