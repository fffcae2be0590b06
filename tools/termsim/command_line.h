// The simulator's command line (its --help text lives with the reader).
#pragma once

#include <string>

#include "options.h"

namespace termsim {

// Reads the command line into the run settings. --help prints the usage text and exits with 0;
// a bad command line is reported and exits with 2 (see Fail).
Options ParseCommandLine(int argc, char** argv);

// Reports what on standard error and exits with status; status 2 (a bad command line or input
// file) also points at --help.
[[noreturn]] void Fail(const std::string& what, int status = 2);

}  // namespace termsim
