// SPDX-License-Identifier: MIT
// The GPIO layer: set-up of the six header pins and the level read.
#include "board/board.h"
#include "gpio/gpio.h"

namespace gpio
{

void setup()
{
    // The set-up result is not examined: a board that cannot be set up ends the
    // process itself, with a message, before any reply.
    static_cast<void>(board::wiringPiSetupPhys());
    for (const std::int32_t header_position : pins) {
        board::pinMode(header_position, board::input_mode);
    }
    board::pinMode(held_pin, board::input_mode);
}

std::int32_t digitalRead(std::int32_t header_position)
{
    return board::digitalRead(header_position);
}

void end()
{
    board::end();
}

std::string_view board_description()
{
    return board::built_for;
}

} // namespace gpio
