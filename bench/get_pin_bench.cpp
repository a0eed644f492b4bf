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
#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <span>
#include <spawn.h>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "build_info.h"

extern char** environ;

namespace bench
{

namespace
{

constexpr int round_trip_rounds = 5;
constexpr int round_trip_warm_up = 500;
constexpr int round_trip_count = 5000;
constexpr int spawn_count = 1000;
constexpr std::int64_t pipelined_count = 1'000'000;
constexpr std::int64_t strace_count = 100'000;
constexpr std::chrono::milliseconds idle_settle{250};
constexpr std::chrono::seconds idle_sampling_time{6};
constexpr std::chrono::seconds idle_cpu_time{10};
// A peer that stays silent this long while replies are owed has lost them.
constexpr int stall_timeout_ms = 10'000;
// No phase takes near this long; past it the bench ends rather than hang.
constexpr unsigned phase_limit_seconds = 300;

constexpr double ratio_goal = 1.25;
constexpr double process_per_read_goal = 60.0;
constexpr double syscalls_per_reply_goal = 1.1;
constexpr double samples_per_second_goal = 196.0;
constexpr double cpu_share_goal_percent = 0.5;
constexpr double resident_goal_kib = 2048.0;

constexpr std::string_view get_request = "get\n";
constexpr std::array<int, 6> reply_pins{3, 7, 27, 32, 36, 18};
constexpr std::array<std::string_view, 2> sim_variables{"GET_PIN_SIM_LEVELS=",
                                                        "GET_PIN_SIM_TRACE="};

// Set by any failed measurement; the table is still printed.
bool measurement_failed = false;

struct child {
    pid_t pid = -1;
    int to_child = -1;   // its standard input
    int from_child = -1; // its standard output
};

struct latency {
    double median_us = 0;
    double p99_us = 0;
};

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

struct syscall_count {
    std::int64_t total = 0;
    std::int64_t write = 0;
    std::int64_t read = 0;
    std::int64_t poll = 0;
};

struct idle_sampling {
    double samples_per_second = 0;
    double median_gap_ms = 0;
    double p99_gap_ms = 0;
    double max_gap_ms = 0;
};

struct idle_load {
    double cpu_percent_stat = 0;
    double cpu_percent_schedstat = -1;
    long resident_peak_kib = -1;
};

void fail(const std::string& what)
{
    static_cast<void>(std::fprintf(stderr, "get_pin_bench: %s\n", what.c_str()));
    measurement_failed = true;
}

[[noreturn]] void die(const std::string& what)
{
    static_cast<void>(
        std::fprintf(stderr, "get_pin_bench: %s: %s\n", what.c_str(), std::strerror(errno)));
    std::exit(1);
}

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

[[nodiscard]] std::int64_t now_ns()
{
    timespec now{};
    // A failed clock read would leave zero, and every figure built on it wrong.
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        die("clock_gettime");
    }
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

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

[[nodiscard]] std::string verdict(bool met)
{
    return met ? "met" : "**not met**";
}

// The value at fraction `rank` (0 to 1) of sorted samples, nearest rank.
[[nodiscard]] double percentile(std::span<const std::int64_t> sorted, double rank)
{
    const auto last = static_cast<double>(sorted.size() - 1);
    return static_cast<double>(sorted[static_cast<std::size_t>(std::lround(rank * last))]);
}

[[nodiscard]] std::string file_text(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The number of a "name: number" line of /proc/PID/`file` (status, io); -1
// when missing. Memory figures of status are in KiB.
[[nodiscard]] long proc_number(pid_t pid, std::string_view file, std::string_view name)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/" + std::string(file));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(name) && line.size() > name.size() && line[name.size()] == ':') {
            return std::strtol(line.c_str() + name.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

// utime + stime of /proc/PID/stat, in seconds.
[[nodiscard]] double cpu_seconds_stat(pid_t pid)
{
    const std::string stat = file_text("/proc/" + std::to_string(pid) + "/stat");
    // The command name may hold blanks; the fields after it are counted from its ')'.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> field{std::istream_iterator<std::string>(fields), {}};
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    if (field.size() < 13) {
        return 0;
    }
    const double ticks = std::stod(field[11]) + std::stod(field[12]);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Run time of /proc/PID/schedstat in seconds (nanosecond resolution, where
// /proc/PID/stat counts clock ticks); -1 when the kernel does not keep it.
[[nodiscard]] double cpu_seconds_schedstat(pid_t pid)
{
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    double run_ns = -1;
    if (!(schedstat >> run_ns)) {
        return -1;
    }
    return run_ns / 1e9;
}

[[nodiscard]] std::optional<std::string> on_path(std::string_view program)
{
    const char* path = std::getenv("PATH");
    std::istringstream directories(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string directory; std::getline(directories, directory, ':');) {
        std::string candidate = directory + "/" + std::string(program);
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

// This environment without the simulated board's variables, plus `extra`:
// each figure states which board set-up it runs with.
[[nodiscard]] std::vector<std::string> child_environment(const std::vector<std::string>& extra)
{
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view variable = *entry;
        if (std::ranges::none_of(
                sim_variables, [&](std::string_view name) { return variable.starts_with(name); })) {
            variables.emplace_back(variable);
        }
    }
    variables.insert(variables.end(), extra.begin(), extra.end());
    return variables;
}

[[nodiscard]] std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (std::string& text : strings) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

// Starts `arguments` with its standard input and output on fresh pipes. The
// child gets SIGPIPE at its default even though this driver ignores it.
[[nodiscard]] child start(std::vector<std::string> arguments,
                          const std::vector<std::string>& extra_environment = {})
{
    std::array<int, 2> input{};
    std::array<int, 2> output{};
    if (pipe2(input.data(), O_CLOEXEC) != 0 || pipe2(output.data(), O_CLOEXEC) != 0) {
        die("pipe");
    }
    posix_spawn_file_actions_t actions{};
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawnattr_t attributes{};
    posix_spawnattr_init(&attributes);
    sigset_t default_signals{};
    sigemptyset(&default_signals);
    sigaddset(&default_signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &default_signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> environment = child_environment(extra_environment);
    std::vector<char*> argv = pointers(arguments);
    std::vector<char*> envp = pointers(environment);
    child started{};
    const int error =
        posix_spawn(&started.pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(input[0]);
    close(output[1]);
    if (error != 0) {
        errno = error;
        die("start " + arguments[0]);
    }
    started.to_child = input[1];
    started.from_child = output[0];
    return started;
}

[[nodiscard]] bool write_all(int descriptor, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t count = write(descriptor, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

// Closes the child's input, drains its output and reaps it; true when it ended
// with status 0.
bool finish(child& running)
{
    if (running.to_child >= 0) {
        close(running.to_child);
        running.to_child = -1;
    }
    std::array<char, 4096> discard{};
    while (read(running.from_child, discard.data(), discard.size()) > 0) {
    }
    close(running.from_child);
    int status = 0;
    while (waitpid(running.pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

[[nodiscard]] bool is_reply_line(std::string_view line)
{
    std::string_view rest = line;
    auto take = [&](std::string_view expected) {
        if (!rest.starts_with(expected)) {
            return false;
        }
        rest.remove_prefix(expected.size());
        return true;
    };
    if (!take("{")) {
        return false;
    }
    for (const int pin : reply_pins) {
        if (!take(std::to_string(pin) + ": ") || !(take("0") || take("1")) || !take(", ")) {
            return false;
        }
    }
    return take("}\n") && rest.empty();
}

// Sends `request` and reads until a newline `count` times; the first reply is
// kept in `first_reply`. Empty when the peer stopped answering.
[[nodiscard]] std::vector<std::int64_t> round_trips(child& peer, std::string_view request,
                                                    int count, std::string& first_reply)
{
    std::vector<std::int64_t> samples;
    samples.reserve(static_cast<std::size_t>(count));
    std::array<char, 256> reply{};
    for (int sample = 0; sample < count; ++sample) {
        const std::int64_t start = now_ns();
        if (!write_all(peer.to_child, request)) {
            return {};
        }
        std::size_t filled = 0;
        while (filled == 0 || reply.at(filled - 1) != '\n') {
            const ssize_t got = read(peer.from_child, reply.data() + filled, reply.size() - filled);
            if (got <= 0 || filled + static_cast<std::size_t>(got) >= reply.size()) {
                return {};
            }
            filled += static_cast<std::size_t>(got);
        }
        samples.push_back(now_ns() - start);
        if (first_reply.empty()) {
            first_reply.assign(reply.data(), filled);
        }
    }
    return samples;
}

// One round in a fresh process: warm-up requests, then timed ones.
[[nodiscard]] std::optional<latency> round_trip_round(const std::vector<std::string>& arguments,
                                                      std::string_view request,
                                                      std::string& first_reply)
{
    child peer = start(arguments);
    std::string ignored;
    const bool warmed = !round_trips(peer, request, round_trip_warm_up, ignored).empty();
    std::vector<std::int64_t> samples = round_trips(peer, request, round_trip_count, first_reply);
    const bool clean = finish(peer);
    if (!warmed || samples.empty() || !clean) {
        return std::nullopt;
    }
    std::ranges::sort(samples);
    return latency{.median_us = percentile(samples, 0.5) / 1e3,
                   .p99_us = percentile(samples, 0.99) / 1e3};
}

struct round_trip_pair {
    latency get_pin;
    latency cat;
    std::string reply;
};

// Rounds alternate between get_pin and cat so that drift in the machine's load
// touches both; each keeps the round with the least median.
[[nodiscard]] round_trip_pair measure_round_trips(const std::string& get_pin,
                                                  const std::string& cat)
{
    round_trip_pair best{.get_pin = {.median_us = HUGE_VAL, .p99_us = 0},
                         .cat = {.median_us = HUGE_VAL, .p99_us = 0},
                         .reply = {}};
    for (int round = 0; round < round_trip_rounds; ++round) {
        std::string reply;
        const std::optional<latency> ours = round_trip_round({get_pin}, get_request, reply);
        std::string echo;
        const std::optional<latency> floor = round_trip_round({cat}, get_request, echo);
        if (!ours || !floor) {
            fail("a round-trip round did not complete");
            return best;
        }
        if (!is_reply_line(reply)) {
            fail("get_pin's reply is not a reply line: " + reply);
        }
        if (echo != get_request) {
            fail("cat did not echo the request");
        }
        best.reply = reply;
        if (ours->median_us < best.get_pin.median_us) {
            best.get_pin = *ours;
        }
        if (floor->median_us < best.cat.median_us) {
            best.cat = *floor;
        }
    }
    return best;
}

struct spawn_times {
    double fork_exec_us = 0;
    double posix_spawn_us = 0;
};

// Median time to start /bin/true and reap it, by fork and exec as a shell does
// and by posix_spawn (vfork), the cheapest way a process-per-read tool has.
[[nodiscard]] spawn_times measure_process_per_read()
{
    std::vector<std::int64_t> forked;
    std::vector<std::int64_t> spawned;
    std::vector<std::string> arguments{"/bin/true"};
    std::vector<char*> argv = pointers(arguments);
    for (int sample = 0; sample < spawn_count; ++sample) {
        std::int64_t start = now_ns();
        const pid_t pid = fork();
        if (pid == 0) {
            execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || status != 0) {
            fail("fork and exec of /bin/true failed");
            return {};
        }
        forked.push_back(now_ns() - start);

        start = now_ns();
        pid_t spawned_pid = -1;
        if (posix_spawn(&spawned_pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0 ||
            waitpid(spawned_pid, &status, 0) != spawned_pid || status != 0) {
            fail("posix_spawn of /bin/true failed");
            return {};
        }
        spawned.push_back(now_ns() - start);
    }
    std::ranges::sort(forked);
    std::ranges::sort(spawned);
    return {.fork_exec_us = percentile(forked, 0.5) / 1e3,
            .posix_spawn_us = percentile(spawned, 0.5) / 1e3};
}

// Writes `count` "get" words in large writes, as fast as the pipe takes them.
void write_requests(int descriptor, std::int64_t count)
{
    constexpr std::int64_t words_per_chunk = std::int64_t{16} * 1024;
    std::string chunk;
    for (std::int64_t word = 0; word < words_per_chunk; ++word) {
        chunk += get_request;
    }
    for (std::int64_t left = count; left > 0; left -= words_per_chunk) {
        const auto words = static_cast<std::size_t>(std::min(left, words_per_chunk));
        if (!write_all(descriptor, {chunk.data(), words * get_request.size()})) {
            return;
        }
    }
}

// Reads replies until `count` have come, checking each against `reply`, or
// until the peer ends or stalls. Returns the nanosecond time of the last.
std::int64_t read_replies(int descriptor, std::string_view reply, std::int64_t count,
                          pipelined_result& result)
{
    std::vector<char> bytes(std::size_t{64} * 1024);
    std::size_t position = 0; // in `reply`, of the next byte expected
    bool garbled = false;     // the current line has gone wrong; resynchronise at its newline
    std::int64_t last = now_ns();
    while (result.replies + result.malformed < count) {
        pollfd request{.fd = descriptor, .events = POLLIN, .revents = 0};
        if (poll(&request, 1, stall_timeout_ms) != 1) {
            break;
        }
        const ssize_t got = read(descriptor, bytes.data(), bytes.size());
        if (got <= 0) {
            break;
        }
        for (const char byte : std::span(bytes.data(), static_cast<std::size_t>(got))) {
            if (!garbled && byte == reply[position]) {
                ++position;
            } else {
                garbled = true;
            }
            if (byte == '\n') {
                ++(garbled || position != reply.size() ? result.malformed : result.replies);
                position = 0;
                garbled = false;
            }
        }
        last = now_ns();
    }
    return last;
}

// Pipelines `count` gets into a fresh `arguments` (get_pin, or strace running it)
// while reading the replies on this thread.
[[nodiscard]] pipelined_result pipeline(const std::vector<std::string>& arguments,
                                        std::string_view reply, std::int64_t count)
{
    pipelined_result result{};
    child peer = start(arguments);
    const std::int64_t start_ns = now_ns();
    std::thread writer(write_requests, peer.to_child, count);
    const std::int64_t end_ns = read_replies(peer.from_child, reply, count, result);
    if (result.replies + result.malformed < count) {
        // A stalled peer would leave the writer blocked on a full pipe.
        kill(peer.pid, SIGKILL);
    }
    writer.join();
    result.replies_per_second =
        static_cast<double>(result.replies) / (static_cast<double>(end_ns - start_ns) / 1e9);
    // Read while the program still runs: its input is not yet closed.
    result.resident_peak_kib = proc_number(peer.pid, "status", "VmHWM");
    result.reads = proc_number(peer.pid, "io", "syscr");
    result.writes = proc_number(peer.pid, "io", "syscw");
    close(peer.to_child);
    peer.to_child = -1;
    // Whatever comes after the last owed reply is extra.
    std::array<char, 4096> rest{};
    for (ssize_t got = 0; (got = read(peer.from_child, rest.data(), rest.size())) > 0;) {
        result.extra += std::count(rest.begin(), rest.begin() + got, '\n');
    }
    result.exited_cleanly = finish(peer);
    return result;
}

// Runs `strace -c -f` around get_pin for a pipelined run and adds up its
// summary table.
[[nodiscard]] syscall_count count_syscalls(const std::string& strace, const std::string& get_pin,
                                           std::string_view reply, const std::string& directory)
{
    const std::string summary = directory + "/strace-summary";
    const pipelined_result run =
        pipeline({strace, "-f", "-c", "-o", summary, "--", get_pin}, reply, strace_count);
    if (run.replies != strace_count || run.malformed != 0 || run.extra != 0 ||
        !run.exited_cleanly) {
        fail("the pipelined run under strace lost or garbled replies");
    }
    // Rows are "% time, seconds, usecs/call, calls, [errors,] name"; the last
    // row, named "total", adds them up.
    syscall_count counted{};
    std::istringstream table(file_text(summary));
    for (std::string line; std::getline(table, line);) {
        std::istringstream row(line);
        std::vector<std::string> field{std::istream_iterator<std::string>(row), {}};
        if (field.size() < 5 || std::isdigit(static_cast<unsigned char>(field[3].front())) == 0) {
            continue;
        }
        const std::int64_t calls = std::stoll(field[3]);
        const std::string& name = field.back();
        if (name == "total") {
            counted.total = calls;
        } else if (name == "write") {
            counted.write = calls;
        } else if (name == "read") {
            counted.read = calls;
        } else if (name == "poll" || name == "ppoll") {
            counted.poll += calls;
        }
    }
    if (counted.total == 0) {
        fail("no strace summary in " + summary);
    }
    return counted;
}

// A silent get_pin whose simulated board traces to a FIFO: every "read 18"
// line is stamped when it arrives. The trace costs get_pin one write per
// sample, which a file trace would cost as well.
[[nodiscard]] idle_sampling measure_idle_sampling(const std::string& get_pin,
                                                  const std::string& directory)
{
    const std::string fifo = directory + "/trace";
    if (mkfifo(fifo.c_str(), 0600) != 0) {
        die("mkfifo " + fifo);
    }
    // Opened before get_pin so that its open for writing does not wait, and
    // non-blocking so that a get_pin that never opens it cannot hang this.
    const int trace = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (trace < 0) {
        die("open " + fifo);
    }
    child peer = start({get_pin}, {"GET_PIN_SIM_TRACE=" + fifo});

    std::vector<std::int64_t> stamps;
    std::string partial;
    std::array<char, 4096> bytes{};
    const std::int64_t begin = now_ns();
    const std::int64_t window_start =
        begin + std::chrono::duration_cast<std::chrono::nanoseconds>(idle_settle).count();
    const std::int64_t window_end =
        window_start +
        std::chrono::duration_cast<std::chrono::nanoseconds>(idle_sampling_time).count();
    for (std::int64_t now = begin; now < window_end; now = now_ns()) {
        pollfd request{.fd = trace, .events = POLLIN, .revents = 0};
        const int timeout = static_cast<int>((window_end - now) / 1'000'000) + 1;
        if (poll(&request, 1, timeout) < 0 && errno != EINTR) {
            die("poll trace");
        }
        const ssize_t got = read(trace, bytes.data(), bytes.size());
        const std::int64_t arrival = now_ns();
        if (got <= 0) {
            if (got == 0 && (request.revents & POLLHUP) != 0) {
                break; // get_pin has gone
            }
            continue;
        }
        partial.append(bytes.data(), static_cast<std::size_t>(got));
        for (std::size_t end = 0; (end = partial.find('\n')) != std::string::npos;) {
            if (partial.starts_with("read 18 ") && arrival >= window_start &&
                arrival < window_end) {
                stamps.push_back(arrival);
            }
            partial.erase(0, end + 1);
        }
    }
    // Ended before the FIFO closes: a trace write with no reader left would
    // end get_pin with SIGPIPE.
    if (!finish(peer)) {
        fail("get_pin with a trace FIFO did not end cleanly");
    }
    close(trace);
    if (stamps.size() < 3) {
        fail("too few samples of pin 18 in the trace");
        return {};
    }
    std::vector<std::int64_t> gaps;
    for (std::size_t at = 1; at < stamps.size(); ++at) {
        gaps.push_back(stamps[at] - stamps[at - 1]);
    }
    std::ranges::sort(gaps);
    return {.samples_per_second = static_cast<double>(stamps.size()) /
                                  std::chrono::duration<double>(idle_sampling_time).count(),
            .median_gap_ms = percentile(gaps, 0.5) / 1e6,
            .p99_gap_ms = percentile(gaps, 0.99) / 1e6,
            .max_gap_ms = static_cast<double>(gaps.back()) / 1e6};
}

// A silent get_pin without a trace, as it runs in the field.
[[nodiscard]] idle_load measure_idle_load(const std::string& get_pin)
{
    child peer = start({get_pin});
    std::this_thread::sleep_for(idle_settle);
    const double stat_before = cpu_seconds_stat(peer.pid);
    const double schedstat_before = cpu_seconds_schedstat(peer.pid);
    const std::int64_t begin = now_ns();
    std::this_thread::sleep_for(idle_cpu_time);
    const double stat_after = cpu_seconds_stat(peer.pid);
    const double schedstat_after = cpu_seconds_schedstat(peer.pid);
    const double wall = static_cast<double>(now_ns() - begin) / 1e9;
    idle_load load{.cpu_percent_stat = 100.0 * (stat_after - stat_before) / wall,
                   .cpu_percent_schedstat = -1,
                   .resident_peak_kib = proc_number(peer.pid, "status", "VmHWM")};
    if (schedstat_before >= 0 && schedstat_after >= 0) {
        load.cpu_percent_schedstat = 100.0 * (schedstat_after - schedstat_before) / wall;
    }
    if (!finish(peer)) {
        fail("idle get_pin did not end cleanly");
    }
    return load;
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

// Pins this driver, and the children it starts from now on, to the CPU it is
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

[[nodiscard]] std::string mib(long kib)
{
    return kib < 0 ? "n/a" : fixed(static_cast<double>(kib) / 1024.0, 2) + " MiB";
}

void row(std::string_view figure, const std::string& measured, std::string_view goal,
         const std::string& met)
{
    std::printf("| %.*s | %s | %.*s | %s |\n", static_cast<int>(figure.size()), figure.data(),
                measured.c_str(), static_cast<int>(goal.size()), goal.data(), met.c_str());
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
    // A peer that dies must show as a failed write, not end this driver.
    static_cast<void>(signal(SIGPIPE, SIG_IGN));
    static_cast<void>(signal(SIGALRM, on_phase_limit));
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
    start_phase();
    const round_trip_pair trips = measure_round_trips(get_pin, cat);
    start_phase();
    const spawn_times spawn = measure_process_per_read();
    // The remaining figures are of the program as it is deployed: free to use
    // every core.
    unpin(allowed);
    start_phase();
    const pipelined_result pipelined = pipeline({get_pin}, trips.reply, pipelined_count);
    if (pipelined.replies != pipelined_count || pipelined.malformed != 0 || pipelined.extra != 0 ||
        !pipelined.exited_cleanly) {
        fail("pipelined run: replies lost, extra or malformed");
    }
    start_phase();
    const syscall_count syscalls = count_syscalls(*strace, get_pin, trips.reply, directory);
    start_phase();
    const idle_sampling sampling = measure_idle_sampling(get_pin, directory);
    start_phase();
    const idle_load load = measure_idle_load(get_pin);
    alarm(0);
    static_cast<void>(std::remove((directory + "/strace-summary").c_str()));
    static_cast<void>(std::remove((directory + "/trace").c_str()));
    rmdir(directory.c_str());

    const double ratio = trips.get_pin.median_us / trips.cat.median_us;
    const double spawn_floor = std::min(spawn.fork_exec_us, spawn.posix_spawn_us);
    const double process_ratio = spawn_floor / trips.get_pin.median_us;
    const long resident_kib = std::max(load.resident_peak_kib, pipelined.resident_peak_kib);

    std::printf("Machine: %s  \n", machine().c_str());
    std::printf("Build: %s (%.*s, %.*s, %.*s board)  \n", get_pin.c_str(),
                static_cast<int>(build_info::compiler.size()), build_info::compiler.data(),
                static_cast<int>(build_info::build_type.size()), build_info::build_type.data(),
                static_cast<int>(build_info::board.size()), build_info::board.data());
    std::printf("Round trips pinned to CPU %d; the rest free on all cores.\n\n", cpu);
    std::printf("| Figure | Measured | Goal | Met |\n|---|---|---|---|\n");
    const std::string rounds_note = " (least median of " + std::to_string(round_trip_rounds) +
                                    " rounds of " + grouped(round_trip_count) + ")";
    row("Round trip of one \"get\" over pipes" + rounds_note,
        "median " + fixed(trips.get_pin.median_us, 1) + " µs, p99 " +
            fixed(trips.get_pin.p99_us, 1) + " µs",
        "", "");
    row("`cat` echoing one line over the same pipes" + rounds_note,
        "median " + fixed(trips.cat.median_us, 1) + " µs, p99 " + fixed(trips.cat.p99_us, 1) +
            " µs",
        "", "");
    row("get_pin / cat, medians", fixed(ratio, 2), "≤ 1.25", verdict(ratio <= ratio_goal));
    row("Process per read: /bin/true started and reaped (median of " + grouped(spawn_count) + ")",
        "fork+exec " + fixed(spawn.fork_exec_us, 0) + " µs, posix_spawn " +
            fixed(spawn.posix_spawn_us, 0) + " µs",
        "", "");
    row("Process per read (the faster) / get_pin round trip", fixed(process_ratio, 0), "≥ 60",
        verdict(process_ratio >= process_per_read_goal));
    row("Pipelined: " + grouped(pipelined_count) + " \"get\" written back to back",
        fixed(pipelined.replies_per_second / 1e6, 2) + " M replies/s; " +
            grouped(pipelined.replies) + " replies, " +
            grouped(pipelined_count - pipelined.replies - pipelined.malformed) + " lost, " +
            grouped(pipelined.extra) + " extra, " + grouped(pipelined.malformed) + " malformed",
        "every reply, none lost or extra",
        verdict(pipelined.replies == pipelined_count && pipelined.malformed == 0 &&
                pipelined.extra == 0));
    // Not a goal: strace slows the program, which leaves more words waiting per
    // read than a free run does; these counts come from the free run.
    row("Reads and writes per pipelined reply without strace (/proc/PID/io)",
        pipelined.reads < 0 ? "n/a"
                            : fixed(static_cast<double>(pipelined.reads + pipelined.writes) /
                                        static_cast<double>(pipelined_count),
                                    4) +
                                  " (read " + grouped(pipelined.reads) + ", write " +
                                  grouped(pipelined.writes) + ")",
        "", "");
    const double per_reply =
        static_cast<double>(syscalls.total) / static_cast<double>(strace_count);
    row("System calls per pipelined reply (`strace -c -f`, " + grouped(strace_count) +
            " gets, start-up included)",
        fixed(per_reply, 4) + " (write " + grouped(syscalls.write) + ", read " +
            grouped(syscalls.read) + ", poll " + grouped(syscalls.poll) + ", all " +
            grouped(syscalls.total) + ")",
        "≤ 1.1", verdict(per_reply <= syscalls_per_reply_goal));
    const std::string sampling_note =
        " (" + std::to_string(idle_sampling_time.count()) +
        " s without input; \"read 18\" lines of a trace to a FIFO, stamped on arrival; the "
        "trace costs one write per sample)";
    row("Idle: samples of pin 18 per second" + sampling_note, fixed(sampling.samples_per_second, 1),
        "≥ 196", verdict(sampling.samples_per_second >= samples_per_second_goal));
    row("Idle: gap between samples of pin 18",
        "median " + fixed(sampling.median_gap_ms, 3) + " ms, p99 " + fixed(sampling.p99_gap_ms, 3) +
            " ms, max " + fixed(sampling.max_gap_ms, 3) + " ms",
        "", "");
    row("Idle: CPU share of one core (" + std::to_string(idle_cpu_time.count()) +
            " s without input, no trace; utime+stime of /proc/PID/stat)",
        fixed(load.cpu_percent_stat, 2) + " %" +
            (load.cpu_percent_schedstat >= 0
                 ? " (" + fixed(load.cpu_percent_schedstat, 3) + " % by /proc/PID/schedstat)"
                 : ""),
        "< 0.5 %", verdict(load.cpu_percent_stat < cpu_share_goal_percent));
    row("Peak resident memory (VmHWM)",
        mib(load.resident_peak_kib) + " idle, " + mib(pipelined.resident_peak_kib) + " after " +
            grouped(pipelined_count) + " pipelined gets",
        "< 2 MiB",
        verdict(resident_kib >= 0 && static_cast<double>(resident_kib) < resident_goal_kib));
    row("On the emulated board: one `gpioget` process vs one get_pin round trip",
        "measured in the board VM, not here", "", "");
    return measurement_failed ? 1 : 0;
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
