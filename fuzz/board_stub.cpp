// SPDX-License-Identifier: MIT
// The board behind get_pin_fuzz: levels that change from read to read, so that
// replies carry both levels, and a check that only the six header pins of the
// reply are ever set up or read.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "board/board.h"

namespace board
{

const std::string_view built_for = "the fuzzer's board";

namespace
{

constexpr std::array<int, 6> reply_pins{3, 7, 27, 32, 36, 18};
std::uint32_t level_state = 0x9e3779b9U;

void expect_reply_pin(int header_position)
{
    if (std::find(reply_pins.begin(), reply_pins.end(), header_position) == reply_pins.end()) {
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
