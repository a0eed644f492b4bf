// SPDX-License-Identifier: MIT
// What every measurement of get_pin_bench shares: the monotonic clock,
// percentiles of sorted samples, and how a failure is reported. A failed
// measurement is noted and the table is still printed, with exit status 1; a
// failure of the tool itself (no pipe, no clock) ends it at once.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace bench
{

// Nanoseconds on CLOCK_MONOTONIC; a failed clock read ends the tool.
[[nodiscard]] std::int64_t now_ns();

// The value at fraction `rank` (0 to 1) of sorted samples, nearest rank.
[[nodiscard]] double percentile(std::span<const std::int64_t> sorted, double rank);

// "get_pin_bench: `what`" on stderr; the tool goes on and ends with status 1.
void fail(const std::string& what);

// True once fail() has been called.
[[nodiscard]] bool any_failed();

// "get_pin_bench: `what`: " and the reason errno gives on stderr, then exit
// status 1.
[[noreturn]] void die(const std::string& what);

} // namespace bench
