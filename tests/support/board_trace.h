// SPDX-License-Identifier: MIT
// Reading the simulated board's trace back in tests.
#pragma once

#include <string>
#include <vector>

namespace board_trace
{

// The reply lines that a trace stands for: each run of reads of pins 3, 7, 27,
// 32 and 36 is one reply, its pin 18 entry the OR of the eight samples of pin
// 18 taken before it (low before the first samples).
[[nodiscard]] std::vector<std::string> replies_from_trace(const std::string& trace);

} // namespace board_trace
