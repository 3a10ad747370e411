// The wide argument vector that the runtime's start-up parsed from the command
// line. The entry function records it first thing; PROGRAM and the library
// hand-off read it from here.
#pragma once

struct ArgumentVector {
    int count;
    wchar_t **values;
};

extern ArgumentVector process_arguments;
