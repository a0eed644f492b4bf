// SPDX-License-Identifier: MIT
// What the pin table (src/gpio/gpio.h) gives the tests: the reply line for
// given levels and the board calls of set-up, so that a changed table changes
// what they expect. reply_test.cpp spells one reply out, which catches a table
// changed by mistake.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "board/header.h"
#include "gpio/gpio.h"

namespace pin_table
{

// Levels of header positions 1 to 40, '0' or '1' each, with the given
// positions high.
inline std::string levels_with_high(std::initializer_list<int> high_positions)
{
    std::string levels(board::header_size, '0');
    for (const int header_position : high_positions) {
        levels.at(static_cast<std::size_t>(header_position - 1)) = '1';
    }
    return levels;
}

// A board with nothing connected: the lines pulled up at power-on read high.
inline std::string power_on_levels()
{
    std::string levels;
    for (int header_position = 1; header_position <= board::header_size; ++header_position) {
        levels += board::pulled_up_at_power_on(header_position) ? '1' : '0';
    }
    return levels;
}

// The reply line for `levels` (as above), the held pin's entry `held`.
inline std::string reply(std::string_view levels, std::string_view held = "0")
{
    std::string line = "{";
    for (const std::int32_t header_position : gpio::pins) {
        line += std::to_string(header_position) + ": " +
                levels.at(static_cast<std::size_t>(header_position - 1)) + ", ";
    }
    return line + std::to_string(gpio::held_pin) + ": " + std::string{held} + ", }\n";
}

// The board calls of set-up, in order: "setup", then "mode PIN 0" for each
// pin and the held pin.
inline std::vector<std::string> setup_calls()
{
    std::vector<std::string> calls{"setup"};
    calls.reserve(gpio::pins.size() + 2);
    for (const std::int32_t header_position : gpio::pins) {
        calls.push_back("mode " + std::to_string(header_position) + " 0");
    }
    calls.push_back("mode " + std::to_string(gpio::held_pin) + " 0");
    return calls;
}

} // namespace pin_table
