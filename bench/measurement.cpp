// SPDX-License-Identifier: MIT
// The clock, the percentiles and the failure reports of get_pin_bench.
#include "measurement.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace bench
{

namespace
{

// Set by any failed measurement; the table is still printed.
bool measurement_failed = false;

} // namespace

std::int64_t now_ns()
{
    timespec now{};
    // A failed clock read would leave zero, and every figure built on it wrong.
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        die("clock_gettime");
    }
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

double percentile(std::span<const std::int64_t> sorted, double rank)
{
    const auto last = static_cast<double>(sorted.size() - 1);
    return static_cast<double>(sorted[static_cast<std::size_t>(std::lround(rank * last))]);
}

void fail(const std::string& what)
{
    static_cast<void>(std::fprintf(stderr, "get_pin_bench: %s\n", what.c_str()));
    measurement_failed = true;
}

bool any_failed()
{
    return measurement_failed;
}

void die(const std::string& what)
{
    static_cast<void>(
        std::fprintf(stderr, "get_pin_bench: %s: %s\n", what.c_str(), std::strerror(errno)));
    std::exit(1);
}

} // namespace bench
