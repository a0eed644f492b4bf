// SPDX-License-Identifier: MIT
// Reading the simulated board's trace back in tests.
#pragma once

#include <string>
#include <vector>

namespace board_trace
{

// The reply lines that a trace stands for: each run of reads of the pin table's
// pins (src/gpio/gpio.h) is one reply, its held pin's entry the OR of the
// window's samples of that pin taken before it (low before the first samples).
[[nodiscard]] std::vector<std::string> replies_from_trace(const std::string& trace);

} // namespace board_trace
