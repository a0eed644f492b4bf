// SPDX-License-Identifier: MIT
// A board for unit tests: levels set by the test, every operation logged.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace fake_board
{

// Levels of header positions 1 to 40 (index 0 unused); all low at start.
inline std::array<int, 41> levels{};
// "setup", "mode PIN MODE", "read PIN LEVEL", in call order.
inline std::vector<std::string> calls;

} // namespace fake_board
