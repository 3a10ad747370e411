// How a piece of launcher code ended when run with its exits and aborts
// caught: the unit tests' `capture` and the fuzz targets' guard both give it.
#pragma once

#include <string>

enum class Ending { returned, exited, aborted };

struct Outcome {
    Ending ending = Ending::returned;
    int exit_code = 0;
    std::string standard_output;
    std::string standard_error;
};
