// SPDX-License-Identifier: MIT
// The table's text: numbers written for people, the goals and their verdicts,
// and one group of rows per measurement. The goals live here and only here:
// each one's text in the Goal column and its verdict come from the same number.
#include "table.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string_view>
#include <sys/utsname.h>
#include <unistd.h>

#include "build_info.h"

namespace bench
{

namespace
{

// A limit a figure is judged against.
struct goal {
    enum class bound : std::uint8_t { at_most, at_least, below };
    bound kind;
    double limit;
    int decimals;          // of the limit, as the Goal column shows it
    std::string_view unit; // after the limit
};

constexpr goal ratio_goal{.kind = goal::bound::at_most, .limit = 1.25, .decimals = 2, .unit = ""};
constexpr goal process_per_read_goal{
    .kind = goal::bound::at_least, .limit = 60.0, .decimals = 0, .unit = ""};
constexpr goal syscalls_per_reply_goal{
    .kind = goal::bound::at_most, .limit = 1.1, .decimals = 1, .unit = ""};
constexpr goal samples_per_second_goal{
    .kind = goal::bound::at_least, .limit = 196.0, .decimals = 0, .unit = ""};
constexpr goal cpu_share_goal_percent{
    .kind = goal::bound::below, .limit = 0.5, .decimals = 1, .unit = " %"};
constexpr goal resident_goal_mib{
    .kind = goal::bound::below, .limit = 2.0, .decimals = 0, .unit = " MiB"};

[[nodiscard]] std::string fixed(double value, int decimals)
{
    std::array<char, 64> text{};
    static_cast<void>(std::snprintf(text.data(), text.size(), "%.*f", decimals, value));
    return text.data();
}

// 1000000 as "1,000,000": the table is read by people.
[[nodiscard]] std::string grouped(std::int64_t value)
{
    const std::string digits = std::to_string(value);
    std::string text;
    for (std::size_t at = 0; at < digits.size(); ++at) {
        const std::size_t left = digits.size() - at;
        if (at > 0 && left % 3 == 0 && digits[at - 1] != '-') {
            text += ',';
        }
        text += digits[at];
    }
    return text;
}

[[nodiscard]] std::string mib(long kib)
{
    return kib < 0 ? "n/a" : fixed(static_cast<double>(kib) / 1024.0, 2) + " MiB";
}

[[nodiscard]] std::string latency_text(const latency& measured)
{
    return "median " + fixed(measured.median_us, 1) + " µs, p99 " + fixed(measured.p99_us, 1) +
           " µs";
}

[[nodiscard]] std::string goal_text(const goal& wanted)
{
    std::string_view sign = "< ";
    if (wanted.kind == goal::bound::at_most) {
        sign = "≤ ";
    } else if (wanted.kind == goal::bound::at_least) {
        sign = "≥ ";
    }
    return std::string(sign) + fixed(wanted.limit, wanted.decimals) + std::string(wanted.unit);
}

// False for a figure that could not be measured (NaN).
[[nodiscard]] bool met(const goal& wanted, double value)
{
    switch (wanted.kind) {
    case goal::bound::at_most:
        return value <= wanted.limit;
    case goal::bound::at_least:
        return value >= wanted.limit;
    case goal::bound::below:
        return value < wanted.limit;
    }
    return false;
}

[[nodiscard]] std::string verdict(bool is_met)
{
    return is_met ? "met" : "**not met**";
}

[[nodiscard]] std::string cpu_model()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.starts_with("model name") || line.starts_with("Model")) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown CPU";
}

[[nodiscard]] std::string machine()
{
    utsname name{};
    uname(&name);
    return cpu_model() + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " +
           name.sysname + " " + name.release + " " + name.machine;
}

void row(std::string_view figure, const std::string& measured, std::string_view goal_column,
         const std::string& met_column)
{
    std::printf("| %.*s | %s | %.*s | %s |\n", static_cast<int>(figure.size()), figure.data(),
                measured.c_str(), static_cast<int>(goal_column.size()), goal_column.data(),
                met_column.c_str());
}

// A row with no goal: a figure shown for comparison.
void row(std::string_view figure, const std::string& measured)
{
    row(figure, measured, "", "");
}

// A row judged against `wanted`.
void row(std::string_view figure, const std::string& measured, const goal& wanted, double value)
{
    row(figure, measured, goal_text(wanted), verdict(met(wanted, value)));
}

void print_heading(const std::string& get_pin, int cpu)
{
    std::printf("Machine: %s  \n", machine().c_str());
    std::printf("Build: %s (%.*s, %.*s, %.*s board)  \n", get_pin.c_str(),
                static_cast<int>(build_info::compiler.size()), build_info::compiler.data(),
                static_cast<int>(build_info::build_type.size()), build_info::build_type.data(),
                static_cast<int>(build_info::board.size()), build_info::board.data());
    std::printf("Round trips pinned to CPU %d; the rest free on all cores.\n\n", cpu);
    std::printf("| Figure | Measured | Goal | Met |\n|---|---|---|---|\n");
}

void print_round_trips(const round_trip_pair& trips, const spawn_times& spawn)
{
    const std::string rounds_note = " (least median of " + std::to_string(round_trip_rounds) +
                                    " rounds of " + grouped(round_trip_count) + ")";
    row("Round trip of one \"get\" over pipes" + rounds_note, latency_text(trips.get_pin));
    row("`cat` echoing one line over the same pipes" + rounds_note, latency_text(trips.cat));
    const double ratio = trips.get_pin.median_us / trips.cat.median_us;
    row("get_pin / cat, medians", fixed(ratio, 2), ratio_goal, ratio);
    row("Process per read: /bin/true started and reaped (median of " + grouped(spawn_count) + ")",
        "fork+exec " + fixed(spawn.fork_exec_us, 0) + " µs, posix_spawn " +
            fixed(spawn.posix_spawn_us, 0) + " µs");
    const double spawn_floor = std::min(spawn.fork_exec_us, spawn.posix_spawn_us);
    const double process_ratio = spawn_floor / trips.get_pin.median_us;
    row("Process per read (the faster) / get_pin round trip", fixed(process_ratio, 0),
        process_per_read_goal, process_ratio);
}

void print_pipelined(const pipelined_result& pipelined, const syscall_count& syscalls)
{
    row("Pipelined: " + grouped(pipelined_count) + " \"get\" written back to back",
        fixed(pipelined.replies_per_second / 1e6, 2) + " M replies/s; " +
            grouped(pipelined.replies) + " replies, " +
            grouped(pipelined_count - pipelined.replies - pipelined.malformed) + " lost, " +
            grouped(pipelined.extra) + " extra, " + grouped(pipelined.malformed) + " malformed",
        "every reply, none lost or extra", verdict(every_reply(pipelined, pipelined_count)));
    // Not a goal: strace slows the program, which leaves more words waiting per
    // read than a free run does; these counts come from the free run.
    row("Reads and writes per pipelined reply without strace (/proc/PID/io)",
        pipelined.reads < 0 ? "n/a"
                            : fixed(static_cast<double>(pipelined.reads + pipelined.writes) /
                                        static_cast<double>(pipelined_count),
                                    4) +
                                  " (read " + grouped(pipelined.reads) + ", write " +
                                  grouped(pipelined.writes) + ")");
    const double per_reply =
        static_cast<double>(syscalls.total) / static_cast<double>(strace_count);
    row("System calls per pipelined reply (`strace -c -f`, " + grouped(strace_count) +
            " gets, start-up included)",
        fixed(per_reply, 4) + " (write " + grouped(syscalls.write) + ", read " +
            grouped(syscalls.read) + ", poll " + grouped(syscalls.poll) + ", all " +
            grouped(syscalls.total) + ")",
        syscalls_per_reply_goal, per_reply);
}

void print_idle(const idle_sampling& sampling, const idle_load& load)
{
    const std::string sampling_note =
        " (" + std::to_string(idle_sampling_time.count()) +
        " s without input; \"read 18\" lines of a trace to a FIFO, stamped on arrival; the "
        "trace costs one write per sample)";
    row("Idle: samples of pin 18 per second" + sampling_note, fixed(sampling.samples_per_second, 1),
        samples_per_second_goal, sampling.samples_per_second);
    row("Idle: gap between samples of pin 18",
        "median " + fixed(sampling.median_gap_ms, 3) + " ms, p99 " + fixed(sampling.p99_gap_ms, 3) +
            " ms, max " + fixed(sampling.max_gap_ms, 3) + " ms");
    row("Idle: CPU share of one core (" + std::to_string(idle_cpu_time.count()) +
            " s without input, no trace; utime+stime of /proc/PID/stat)",
        fixed(load.cpu_percent_stat, 2) + " %" +
            (load.cpu_percent_schedstat >= 0
                 ? " (" + fixed(load.cpu_percent_schedstat, 3) + " % by /proc/PID/schedstat)"
                 : ""),
        cpu_share_goal_percent, load.cpu_percent_stat);
}

void print_memory(const idle_load& load, const pipelined_result& pipelined)
{
    const long resident_kib = std::max(load.resident_peak_kib, pipelined.resident_peak_kib);
    row("Peak resident memory (VmHWM)",
        mib(load.resident_peak_kib) + " idle, " + mib(pipelined.resident_peak_kib) + " after " +
            grouped(pipelined_count) + " pipelined gets",
        goal_text(resident_goal_mib),
        verdict(resident_kib >= 0 &&
                met(resident_goal_mib, static_cast<double>(resident_kib) / 1024.0)));
}

} // namespace

void print_table(const std::string& get_pin, int cpu, const figures& measured)
{
    print_heading(get_pin, cpu);
    print_round_trips(measured.trips, measured.spawn);
    print_pipelined(measured.pipelined, measured.syscalls);
    print_idle(measured.sampling, measured.load);
    print_memory(measured.load, measured.pipelined);
    row("On the emulated board: one `round_trip read` process vs one get_pin round trip",
        "measured in the board VM, not here");
}

} // namespace bench
