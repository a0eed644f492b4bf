// SPDX-License-Identifier: MIT
// The board behind get_pin_fuzz: levels that change from read to read, so that
// replies carry both levels, and a check that only the header pins of the reply
// (the program's table, src/gpio/gpio.h) are ever set up or read.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "board/board.h"
#include "gpio/gpio.h"

namespace board
{

const std::string_view built_for = "the fuzzer's board";

namespace
{

std::uint32_t level_state = 0x9e3779b9U;

void expect_reply_pin(int header_position)
{
    if (header_position != gpio::held_pin &&
        std::ranges::find(gpio::pins, header_position) == gpio::pins.end()) {
        static_cast<void>(std::fprintf(
            stderr, "get_pin_fuzz: header pin %d is not one of the reply's\n", header_position));
        std::abort();
    }
}

} // namespace

int wiringPiSetupPhys()
{
    return 0;
}

void end()
{
}

void pinMode(int header_position, int mode)
{
    expect_reply_pin(header_position);
    if (mode != 0) {
        static_cast<void>(std::fprintf(stderr, "get_pin_fuzz: header pin %d set to mode %d\n",
                                       header_position, mode));
        std::abort();
    }
}

int digitalRead(int header_position)
{
    expect_reply_pin(header_position);
    // xorshift32: cheap, and its low bit flips often enough to show both levels.
    level_state ^= level_state << 13U;
    level_state ^= level_state >> 17U;
    level_state ^= level_state << 5U;
    return static_cast<int>(level_state & 1U);
}

} // namespace board
