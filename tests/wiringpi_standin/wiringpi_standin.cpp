// SPDX-License-Identifier: MIT
// The tests' stand-in for an installed wiringPi library: its three functions,
// each forwarded to the simulated board (src/board/sim.cpp), so that
// GET_PIN_SIM_LEVELS and GET_PIN_SIM_TRACE work for the wiringpi board as for
// the sim board. The shared library exports these three C symbols alone
// (exports.map); the simulated board's board::wiringPiSetupPhys and the rest
// stay inside it, apart from the wiringpi board's functions of the same names
// in get_pin.
#include "wiringPi.h"

#include "board/board.h"

extern "C" {

int wiringPiSetupPhys()
{
    return board::wiringPiSetupPhys();
}

void pinMode(int pin, int mode)
{
    board::pinMode(pin, mode);
}

int digitalRead(int pin)
{
    return board::digitalRead(pin);
}

} // extern "C"
