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
#include "support/pin_table.h"

namespace
{

std::string format_reply()
{
    std::array<char, reply::line_capacity> line{};
    return std::string{reply::format_pins(line)};
}

// The one test that spells a reply out: the other tests take theirs from the
// table, so this one catches a table changed by mistake.
TEST(ReplyLine, HasSixEntriesInOrderEachFollowedByACommaAndABlank)
{
    fake_board::levels.at(3) = 1;
    fake_board::levels.at(32) = 1;
    EXPECT_EQ(format_reply(), "{3: 1, 7: 0, 27: 0, 32: 1, 36: 0, 18: 0, }\n");
}

TEST(ReplyLine, ReadsTheDirectPinsInOrderAndTakesTheHeldPinFromTheWindow)
{
    const auto held_pin = static_cast<std::size_t>(gpio::held_pin);
    fake_board::levels.at(held_pin) = 1;
    gpio::sample_pin_18();
    fake_board::levels.at(held_pin) = 0; // gone low again: the window still holds it
    fake_board::calls.clear();
    EXPECT_EQ(format_reply(), pin_table::reply(pin_table::levels_with_high({}), "1"));
    std::vector<std::string> expected;
    expected.reserve(gpio::pins.size());
    for (const int header_position : gpio::pins) {
        expected.push_back("read " + std::to_string(header_position) + " 0");
    }
    EXPECT_EQ(fake_board::calls, expected);
}

TEST(ReplyLine, WritesLevelsAsTheBoardReturnsThemEvenAtTheWidestInt)
{
    std::string expected = "{";
    for (const int header_position : gpio::pins) {
        fake_board::levels.at(static_cast<std::size_t>(header_position)) = INT_MIN;
        expected += std::to_string(header_position) + ": -2147483648, ";
    }
    EXPECT_EQ(format_reply(), expected + std::to_string(gpio::held_pin) + ": 0, }\n");
}

} // namespace
