// A stored payload that is only its marker: the unit tests drive the reader
// over payloads of their own.
extern "C" const unsigned char tarven_payload_start[] = {'W', 'E', 'Q'};
extern "C" const unsigned long long tarven_payload_size = 3;
