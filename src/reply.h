// SPDX-License-Identifier: MIT
// The reply line to "get": the levels of the six header pins, for example
//   {3: 1, 7: 0, 27: 0, 32: 1, 36: 0, 18: 0, }
// Every entry is "PIN: LEVEL, ", the last one too, then "}" and a newline.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace reply
{

// Room for the pin table's entries even with levels of the widest int, and the
// braces: reply.cpp holds the table's widest line against it when it compiles.
inline constexpr std::size_t line_capacity = 128;

// Builds the reply line in `line`: the pins of the pin table are each read just
// before their own entry, pin 18 comes from its window.
[[nodiscard]] std::string_view format_pins(std::span<char, line_capacity> line);

// Writes the reply line to standard output in one piece. A reply that cannot
// be delivered ends the program with a message and status 1.
void print_pins();

// Writes all of `bytes` to standard output, waiting while a descriptor left
// non-blocking by another program is full. A failed write ends the program with
// "get_pin: `what`: reason" and status 1.
void write_fully(std::string_view bytes, std::string_view what);

} // namespace reply
