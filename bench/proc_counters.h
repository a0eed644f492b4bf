// SPDX-License-Identifier: MIT
// What the kernel counts for a running program, read from /proc/PID: its peak
// resident memory, its read and write calls, and the CPU time it has used.
// Read them while the program runs: a reaped program has no /proc entry.
#pragma once

#include <sys/types.h>

namespace bench
{

// VmHWM of /proc/PID/status, in KiB; -1 when missing.
[[nodiscard]] long peak_resident_kib(pid_t pid);

// syscr and syscw of /proc/PID/io: the read(2) and write(2) calls the program
// has made; -1 when missing.
[[nodiscard]] long read_calls(pid_t pid);
[[nodiscard]] long write_calls(pid_t pid);

// utime + stime of /proc/PID/stat, in seconds (counted in clock ticks).
[[nodiscard]] double cpu_seconds_stat(pid_t pid);

// Run time of /proc/PID/schedstat in seconds (nanosecond resolution); -1 when
// the kernel does not keep it.
[[nodiscard]] double cpu_seconds_schedstat(pid_t pid);

} // namespace bench
