// SPDX-License-Identifier: MIT
// The table get_pin_bench prints: the machine and the build, then one markdown
// row per figure, with the goal it is judged against and whether it is met.
#pragma once

#include <string>

#include "idle.h"
#include "pipelined.h"
#include "round_trips.h"

namespace bench
{

// Every measured figure, as the measurements return them.
struct figures {
    round_trip_pair trips;
    spawn_times spawn;
    pipelined_result pipelined;
    syscall_count syscalls;
    idle_sampling sampling;
    idle_load load;
};

// Prints the table for the program at `get_pin` on standard output; the round
// trips ran pinned to `cpu`.
void print_table(const std::string& get_pin, int cpu, const figures& measured);

} // namespace bench
