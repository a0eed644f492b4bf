// SPDX-License-Identifier: MIT
// The command line. get_pin takes no arguments; --help and --version are
// answered at once, before any GPIO is touched:
//   $ build/host/get_pin --version
//   get_pin 1.0.0
#pragma once

#include <span>

namespace arguments
{

// Handles the program's arguments (`given` includes its name, as in argv).
// Returns only when there are none. --help prints the usage and --version the
// version on standard output and end with status 0; a failed write ends with
// status 1. Any other argument ends with one line on stderr and status 2,
// whatever else was given: the first unexpected argument is named. Otherwise
// the first of --help and --version is the one answered.
void handle(std::span<char* const> given);

} // namespace arguments
