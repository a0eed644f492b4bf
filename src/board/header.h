// SPDX-License-Identifier: MIT
// The 40-pin header as the boards lay it out: which positions carry power or
// ground, and which line of the SoC's GPIO block (its GPIO number, also called
// the BCM number) is behind every other position. The character-device board
// requests these lines, the simulated board models them, and the README's
// wiring table is printed from them (tests/docs/wiring_table.cpp).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

namespace board
{

// The header, numbered by physical position from 1.
inline constexpr int header_size = 40;
inline constexpr int no_line = -1;

inline constexpr std::array<int, 2> power_3v3{1, 17};
inline constexpr std::array<int, 2> power_5v{2, 4};
inline constexpr std::array<int, 8> ground{6, 9, 14, 20, 25, 30, 34, 39};

struct header_line {
    int position;
    int line;
};

// Every position that is not power or ground, and its GPIO line.
inline constexpr std::array<header_line, 28> header_lines{{
    {.position = 3, .line = 2},   {.position = 5, .line = 3},   {.position = 7, .line = 4},
    {.position = 8, .line = 14},  {.position = 10, .line = 15}, {.position = 11, .line = 17},
    {.position = 12, .line = 18}, {.position = 13, .line = 27}, {.position = 15, .line = 22},
    {.position = 16, .line = 23}, {.position = 18, .line = 24}, {.position = 19, .line = 10},
    {.position = 21, .line = 9},  {.position = 22, .line = 25}, {.position = 23, .line = 11},
    {.position = 24, .line = 8},  {.position = 26, .line = 7},  {.position = 27, .line = 0},
    {.position = 28, .line = 1},  {.position = 29, .line = 5},  {.position = 31, .line = 6},
    {.position = 32, .line = 12}, {.position = 33, .line = 13}, {.position = 35, .line = 19},
    {.position = 36, .line = 16}, {.position = 37, .line = 26}, {.position = 38, .line = 20},
    {.position = 40, .line = 21},
}};

// The GPIO line behind a header position, or no_line (power, ground, or
// outside 1 to 40).
[[nodiscard]] constexpr int line_of_position(int header_position)
{
    const auto* const found =
        std::ranges::find(header_lines, header_position, &header_line::position);
    return found == header_lines.end() ? no_line : found->line;
}

// At power-on the SoC pulls lines 0 to 8 up and the others down; nothing
// connected, a position reads as its pull.
inline constexpr int last_pulled_up_line = 8;

[[nodiscard]] constexpr bool pulled_up_at_power_on(int header_position)
{
    const int line = line_of_position(header_position);
    return line != no_line && line <= last_pulled_up_line;
}

// A slip in the tables (a line on a power pin, a position or a line listed
// twice) would read the wrong pin with no error at run time.
[[nodiscard]] constexpr bool header_covered_once()
{
    std::array<int, header_size + 1> position_uses{};
    std::array<int, 64> line_uses{};
    const auto use = [&position_uses](int position) {
        if (position >= 1 && position <= header_size) {
            ++position_uses.at(static_cast<std::size_t>(position));
        }
    };
    for (const header_line entry : header_lines) {
        use(entry.position);
        ++line_uses.at(static_cast<std::size_t>(entry.line));
    }
    std::ranges::for_each(power_3v3, use);
    std::ranges::for_each(power_5v, use);
    std::ranges::for_each(ground, use);
    return std::ranges::all_of(position_uses.begin() + 1, position_uses.end(),
                               [](int uses) { return uses == 1; }) &&
           std::ranges::all_of(line_uses, [](int uses) { return uses <= 1; });
}
static_assert(header_covered_once(),
              "every header position must be exactly one of a GPIO line, 3.3 V, 5 V or "
              "ground, and no line may appear twice");

} // namespace board
