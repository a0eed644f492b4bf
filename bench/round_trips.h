// SPDX-License-Identifier: MIT
// The round trip of one "get" over pipes, against cat echoing one line over the
// same pipes, and against a process per read: /bin/true started and reaped,
// which is what a tool run once per reading costs at the least.
#pragma once

#include <string>

namespace bench
{

inline constexpr int round_trip_rounds = 5;
inline constexpr int round_trip_count = 5000;
inline constexpr int spawn_count = 1000;

struct latency {
    double median_us = 0;
    double p99_us = 0;
};

struct round_trip_pair {
    latency get_pin;
    latency cat;
    std::string reply; // get_pin's reply to "get"
};

// Rounds of round trips, each in a fresh process, alternate between get_pin
// and cat so that drift in the machine's load touches both; each keeps the
// round with the least median.
[[nodiscard]] round_trip_pair measure_round_trips(const std::string& get_pin,
                                                  const std::string& cat);

struct spawn_times {
    double fork_exec_us = 0;
    double posix_spawn_us = 0;
};

// Median time to start /bin/true and reap it, by fork and exec as a shell does
// and by posix_spawn (vfork), the cheapest way a process-per-read tool has.
[[nodiscard]] spawn_times measure_process_per_read();

} // namespace bench
