// SPDX-License-Identifier: MIT
// The wiringPi board: the three GPIO operations forwarded to an installed
// wiringPi library (its wiringPi.h and libwiringPi), for systems that still
// have it. Built with -DGET_PIN_GPIO=wiringpi; nothing of the library is part
// of this project.
#include <string>
#include <string_view>
#include <wiringPi.h>

#include "board/board.h"
#include "die.h"

namespace board
{

const std::string_view built_for = "an installed wiringPi library";

// The library's set-up reports failure by its result when it does not end the
// process itself; a board that is not set up must not be read as all low.
int wiringPiSetupPhys()
{
    const int result = ::wiringPiSetupPhys();
    if (result < 0) {
        fail::die("set up wiringPi", "wiringPiSetupPhys returned " + std::to_string(result));
    }
    return result;
}

// The library would drive a pin in an output mode; this program never does.
void pinMode(int header_position, int mode)
{
    if (mode != input_mode) {
        fail::die("set up header pin " + std::to_string(header_position) + " as mode " +
                      std::to_string(mode),
                  "only input (mode 0) exists; the board never drives a pin");
    }
    ::pinMode(header_position, mode);
}

int digitalRead(int header_position)
{
    return ::digitalRead(header_position);
}

void end()
{
}

} // namespace board
