// SPDX-License-Identifier: MIT
// Pin access: the pin table, its set-up and the held-pin window of header
// pin 18. This is the program's only way to the GPIO board.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace gpio
{

// The directly read header pins, in set-up and reply order.
inline constexpr std::array<std::int32_t, 5> pins{3, 7, 27, 32, 36};

// The held pin: sampled once per pass, reported from its window.
inline constexpr std::int32_t held_pin = 18;

// How many of the newest samples of the held pin are remembered.
inline constexpr std::size_t window_depth = 8;

// Prepares the GPIO library with physical header numbering, then makes the
// pins of `pins` and the held pin inputs, in that order. Called once.
void setup();

// The level of a header pin now, as the board returns it.
[[nodiscard]] std::int32_t digitalRead(std::int32_t header_position);

// Takes one fresh reading of the held pin into the window.
void sample_pin_18();

// 1 when any sample in the window is high, else 0.
[[nodiscard]] int pin_18_state();

// At "exit" or the end of input: the board's last word, if it has one.
void end();

// What the board behind the pins is, e.g. "the kernel's GPIO character device".
[[nodiscard]] std::string_view board_description();

} // namespace gpio
