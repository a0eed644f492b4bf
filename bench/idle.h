// SPDX-License-Identifier: MIT
// get_pin left idle, with no input: how often it samples pin 18 and how even
// the gaps are, what share of a core it takes, and its peak resident memory.
#pragma once

#include <chrono>
#include <string>

namespace bench
{

inline constexpr std::chrono::seconds idle_sampling_time{6};
inline constexpr std::chrono::seconds idle_cpu_time{10};

struct idle_sampling {
    double samples_per_second = 0;
    double median_gap_ms = 0;
    double p99_gap_ms = 0;
    double max_gap_ms = 0;
};

// A silent get_pin whose simulated board traces to a FIFO in `directory`:
// every "read 18" line is stamped when it arrives. The trace costs get_pin one
// write per sample, which a file trace would cost as well.
[[nodiscard]] idle_sampling measure_idle_sampling(const std::string& get_pin,
                                                  const std::string& directory);

struct idle_load {
    double cpu_percent_stat = 0;
    double cpu_percent_schedstat = -1; // -1 when the kernel keeps no schedstat
    long resident_peak_kib = -1;
};

// A silent get_pin without a trace, as it runs in the field.
[[nodiscard]] idle_load measure_idle_load(const std::string& get_pin);

} // namespace bench
