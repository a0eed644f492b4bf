// SPDX-License-Identifier: MIT
// get_pin_bench: measures the host build of get_pin on the simulated board and
// prints a markdown table of its figures, each beside the peer or limit it is
// judged against, with the machine and build that produced them.
//
//   $ cmake --preset host && cmake --build --preset host --target bench
//   $ build/host/bench/get_pin_bench build/host/get_pin      # the same, by hand
//
// Exit status 0 when every figure could be measured (goals met or not: they
// are reported in the table), 1 when a measurement failed or get_pin lost,
// added or garbled a reply. Takes about half a minute. Needs strace on PATH
// for the system-call count, and stops at once without it.
//
// This file runs the measurements in turn, each under a time limit; each group
// of figures has its own file (round_trips, pipelined, idle), and table.cpp
// prints them.
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sched.h>
#include <string>
#include <string_view>
#include <unistd.h>

#include "child_process.h"
#include "idle.h"
#include "measurement.h"
#include "pipelined.h"
#include "round_trips.h"
#include "table.h"

namespace bench
{

namespace
{

// No phase takes near this long; past it the bench ends rather than hang.
constexpr unsigned phase_limit_seconds = 300;

// A phase over its time limit ends the bench with a message and status 1.
void on_phase_limit(int /*signal*/)
{
    constexpr std::string_view message = "get_pin_bench: a measurement did not finish in time\n";
    static_cast<void>(write(STDERR_FILENO, message.data(), message.size()));
    _exit(1);
}

void start_phase()
{
    alarm(phase_limit_seconds);
}

// Pins this tool, and the children it starts from now on, to the CPU it is
// on. Returns that CPU.
int pin_to_current_cpu()
{
    const int cpu = sched_getcpu();
    cpu_set_t set{};
    CPU_ZERO(&set);
    CPU_SET(static_cast<std::size_t>(cpu), &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
        die("sched_setaffinity");
    }
    return cpu;
}

void unpin(const cpu_set_t& allowed)
{
    if (sched_setaffinity(0, sizeof allowed, &allowed) != 0) {
        die("sched_setaffinity");
    }
}

} // namespace

int run(const std::string& get_pin)
{
    if (access(get_pin.c_str(), X_OK) != 0) {
        die("get_pin program " + get_pin);
    }
    const std::string cat = on_path("cat").value_or("/bin/cat");
    // Every row of the table is measured, or the tool stops: no row is dropped.
    const std::optional<std::string> strace = on_path("strace");
    if (!strace) {
        static_cast<void>(std::fprintf(stderr, "get_pin_bench: strace is not installed (apt-get "
                                               "install strace); it counts the system calls\n"));
        return 1;
    }
    // A peer that dies must show as a failed write, not end this tool.
    static_cast<void>(signal(SIGPIPE, SIG_IGN));
    static_cast<void>(signal(SIGALRM, on_phase_limit));
    // For the strace summary and the trace FIFO; each measurement removes its own.
    std::array<char, 32> directory_template{"/tmp/get_pin_bench.XXXXXX"};
    if (mkdtemp(directory_template.data()) == nullptr) {
        die("mkdtemp");
    }
    const std::string directory = directory_template.data();

    cpu_set_t allowed{};
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        die("sched_getaffinity");
    }
    const int cpu = pin_to_current_cpu();
    figures measured{};
    start_phase();
    measured.trips = measure_round_trips(get_pin, cat);
    start_phase();
    measured.spawn = measure_process_per_read();
    // The remaining figures are of the program as it is deployed: free to use
    // every core.
    unpin(allowed);
    start_phase();
    measured.pipelined = measure_pipelined(get_pin, measured.trips.reply);
    start_phase();
    measured.syscalls = count_syscalls(*strace, get_pin, measured.trips.reply, directory);
    start_phase();
    measured.sampling = measure_idle_sampling(get_pin, directory);
    start_phase();
    measured.load = measure_idle_load(get_pin);
    alarm(0);
    rmdir(directory.c_str());

    print_table(get_pin, cpu, measured);
    return any_failed() ? 1 : 0;
}

} // namespace bench

int main(int argc, char** argv)
{
    if (argc != 2) {
        static_cast<void>(std::fprintf(stderr, "usage: get_pin_bench PATH-TO-GET_PIN\n"));
        return 2;
    }
    return bench::run(argv[1]);
}
