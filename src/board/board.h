// SPDX-License-Identifier: MIT
// The board layer: the three GPIO library operations that pin access uses,
// and the board's own word at get_pin's end.
//
// Exactly one board is linked into the program, chosen at build time with the
// CMake option GET_PIN_GPIO: the simulated board (sim.cpp), the kernel's GPIO
// character device (chardev.cpp) or an installed wiringPi library
// (wiringpi.cpp). Pins are physical positions on the 40-pin header.
//
// A board that cannot do what is asked (no header chip, a position without a
// line, a mode other than input) writes one line on stderr and ends the
// process with status 1: set-up failures are never turned into levels.
#pragma once

#include <string_view>

namespace board
{

// The only pin mode there is: input.
inline constexpr int input_mode = 0;

// What this program was built for, as --help and --version name it, so that a
// simulated board is never mistaken for a real one.
extern const std::string_view built_for;

// Prepares the board; afterwards every pin number is a physical header
// position. The result mirrors the library's and is not examined by callers.
int wiringPiSetupPhys();

// Makes a header pin an input (mode 0). No other mode exists: the board never
// drives a pin.
void pinMode(int header_position, int mode);

// The pin's level now: 0 low, non-zero high.
[[nodiscard]] int digitalRead(int header_position);

// At "exit" or the end of input, before the lines are released: a board that
// finds the end harmful (a kernel function whose pin the release cuts off)
// says so and ends the process with status 1.
void end();

} // namespace board
