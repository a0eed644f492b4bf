// SPDX-License-Identifier: MIT
// The fake board behind the unit tests' pin access.
#include "fake_board.h"

#include <string>
#include <string_view>

#include "board/board.h"

namespace board
{

const std::string_view built_for = "the unit tests' fake board";

int wiringPiSetupPhys()
{
    fake_board::calls.emplace_back("setup");
    return 0;
}

void end()
{
}

void pinMode(int header_position, int mode)
{
    fake_board::calls.push_back("mode " + std::to_string(header_position) + " " +
                                std::to_string(mode));
}

int digitalRead(int header_position)
{
    const int level = fake_board::levels.at(static_cast<std::size_t>(header_position));
    fake_board::calls.push_back("read " + std::to_string(header_position) + " " +
                                std::to_string(level));
    return level;
}

} // namespace board
