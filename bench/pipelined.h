// SPDX-License-Identifier: MIT
// Pipelined gets: a million "get" written back to back while the replies are
// read and checked, and the same under `strace -c -f` to count the system calls
// get_pin makes per reply.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bench
{

inline constexpr std::int64_t pipelined_count = 1'000'000;
inline constexpr std::int64_t strace_count = 100'000;

struct pipelined_result {
    double replies_per_second = 0;
    std::int64_t replies = 0;
    std::int64_t malformed = 0;
    std::int64_t extra = 0;
    long resident_peak_kib = -1;
    long reads = -1;  // read(2) calls of the program, from /proc/PID/io
    long writes = -1; // write(2) calls
    bool exited_cleanly = false;
};

// True when `result` has `count` replies, each the expected one, and no more.
[[nodiscard]] bool every_reply(const pipelined_result& result, std::int64_t count);

// Pipelines `pipelined_count` gets into a fresh get_pin, each reply checked
// against `reply`. Peak memory and the read and write calls are read while it
// still runs.
[[nodiscard]] pipelined_result measure_pipelined(const std::string& get_pin,
                                                 std::string_view reply);

struct syscall_count {
    std::int64_t total = 0;
    std::int64_t write = 0;
    std::int64_t read = 0;
    std::int64_t poll = 0;
};

// Runs `strace -c -f` around get_pin for a pipelined run of `strace_count`
// gets and adds up its summary table, which it writes in `directory`.
[[nodiscard]] syscall_count count_syscalls(const std::string& strace, const std::string& get_pin,
                                           std::string_view reply, const std::string& directory);

} // namespace bench
