// SPDX-License-Identifier: MIT
// The reply line: its exact bytes, and which pins are read for it.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <string>
#include <vector>

#include "gpio/gpio.h"
#include "reply.h"
#include "support/fake_board.h"

namespace
{

std::string format_reply()
{
    std::array<char, reply::line_capacity> line{};
    return std::string{reply::format_pins(line)};
}

TEST(ReplyLine, HasSixEntriesInOrderEachFollowedByACommaAndABlank)
{
    fake_board::levels.at(3) = 1;
    fake_board::levels.at(32) = 1;
    EXPECT_EQ(format_reply(), "{3: 1, 7: 0, 27: 0, 32: 1, 36: 0, 18: 0, }\n");
}

TEST(ReplyLine, ReadsTheFiveDirectPinsInOrderAndTakesPin18FromTheWindow)
{
    fake_board::levels.at(18) = 1;
    gpio::sample_pin_18();
    fake_board::levels.at(18) = 0; // pin 18 has gone low again: the window still holds it
    fake_board::calls.clear();
    EXPECT_EQ(format_reply(), "{3: 0, 7: 0, 27: 0, 32: 0, 36: 0, 18: 1, }\n");
    const std::vector<std::string> expected{"read 3 0", "read 7 0", "read 27 0", "read 32 0",
                                            "read 36 0"};
    EXPECT_EQ(fake_board::calls, expected);
}

TEST(ReplyLine, WritesLevelsAsTheBoardReturnsThemEvenAtTheWidestInt)
{
    for (const int header_position : gpio::pins) {
        fake_board::levels.at(static_cast<std::size_t>(header_position)) = INT_MIN;
    }
    EXPECT_EQ(format_reply(), "{3: -2147483648, 7: -2147483648, 27: -2147483648, "
                              "32: -2147483648, 36: -2147483648, 18: 0, }\n");
}

} // namespace
