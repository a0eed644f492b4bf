// SPDX-License-Identifier: MIT
// round_trip: times reading the header pins, for the emulated-board test.
//
//   round_trip spawn COUNT PROGRAM [ARGS...]  runs PROGRAM COUNT times, one
//                                             process per reading (gpioget)
//   round_trip talk COUNT PROGRAM [ARGS...]   starts PROGRAM once and times
//                                             COUNT "get" requests, each until
//                                             its reply line (get_pin)
//
// Prints one line, "MODE: COUNT runs, median N us, min N us, max N us", and
// exits 0; a failed run, a missing reply line or a non-zero status of PROGRAM
// is one line on stderr and status 1.
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <span>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace
{

constexpr std::size_t max_count = 1000;
constexpr std::string_view request = "get\n";
constexpr std::string_view stop = "exit\n";

using clock_type = std::chrono::steady_clock;
using durations = std::array<long, max_count>;

[[noreturn]] void die(std::string_view what, std::string_view why)
{
    std::fprintf(stderr, "round_trip: %.*s: %.*s\n", static_cast<int>(what.size()), what.data(),
                 static_cast<int>(why.size()), why.data());
    std::exit(1);
}

[[noreturn]] void die_errno(std::string_view what, int error_number)
{
    die(what, std::strerror(error_number));
}

[[nodiscard]] long microseconds_since(clock_type::time_point start)
{
    const auto elapsed = clock_type::now() - start;
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
}

void expect_success(pid_t child, std::string_view program)
{
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            die_errno("wait for child", errno);
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        die(program, "ended without success");
    }
}

// Starts the program with the given descriptors as its stdin and stdout.
[[nodiscard]] pid_t spawn(char** argv, int input, int output)
{
    posix_spawn_file_actions_t actions{};
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    pid_t child = 0;
    const int error = posix_spawn(&child, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        die_errno(argv[0], error);
    }
    return child;
}

void time_spawns(std::span<long> times, char** argv)
{
    const int null_input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int null_output = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_input < 0 || null_output < 0) {
        die_errno("open /dev/null", errno);
    }
    for (long& time : times) {
        const auto start = clock_type::now();
        expect_success(spawn(argv, null_input, null_output), argv[0]);
        time = microseconds_since(start);
    }
    close(null_input);
    close(null_output);
}

void write_all(int descriptor, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t count = write(descriptor, text.data(), text.size());
        if (count < 0 && errno != EINTR) {
            die_errno("write request", errno);
        }
        text.remove_prefix(count > 0 ? static_cast<std::size_t>(count) : 0);
    }
}

// Reads until the end of one reply line; replies are short and one at a time.
void read_line(int descriptor)
{
    std::array<char, 256> buffer{};
    for (;;) {
        const ssize_t count = read(descriptor, buffer.data(), buffer.size());
        if (count == 0) {
            die("read reply", "end of output before a reply line");
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            die_errno("read reply", errno);
        }
        if (buffer.at(static_cast<std::size_t>(count - 1)) == '\n') {
            return;
        }
    }
}

void time_requests(std::span<long> times, char** argv)
{
    std::array<int, 2> to_program{};
    std::array<int, 2> from_program{};
    if (pipe2(to_program.data(), O_CLOEXEC) != 0 || pipe2(from_program.data(), O_CLOEXEC) != 0) {
        die_errno("make pipes", errno);
    }
    const pid_t child = spawn(argv, to_program[0], from_program[1]);
    close(to_program[0]);
    close(from_program[1]);
    for (long& time : times) {
        const auto start = clock_type::now();
        write_all(to_program[1], request);
        read_line(from_program[0]);
        time = microseconds_since(start);
    }
    write_all(to_program[1], stop);
    close(to_program[1]);
    expect_success(child, argv[0]);
    close(from_program[0]);
}

[[nodiscard]] std::size_t parse_count(std::string_view text)
{
    std::size_t count = 0;
    const auto [end, error] = std::from_chars(text.begin(), text.end(), count);
    if (error != std::errc{} || end != text.end() || count == 0 || count > max_count) {
        die("COUNT", "must be a number from 1 to 1000");
    }
    return count;
}

void report(std::string_view mode, std::span<long> times)
{
    std::sort(times.begin(), times.end());
    std::printf("%.*s: %zu runs, median %ld us, min %ld us, max %ld us\n",
                static_cast<int>(mode.size()), mode.data(), times.size(), times[times.size() / 2],
                times.front(), times.back());
}

} // namespace

int main(int argc, char** argv)
{
    const std::span<char*> arguments{argv, static_cast<std::size_t>(argc)};
    if (arguments.size() < 4) {
        die("usage", "round_trip spawn|talk COUNT PROGRAM [ARGS...]");
    }
    // A program that ends early must fail a write, not end this one.
    signal(SIGPIPE, SIG_IGN);
    const std::string_view mode = arguments[1];
    durations storage{};
    const std::span<long> times{storage.data(), parse_count(arguments[2])};
    if (mode == "spawn") {
        time_spawns(times, &arguments[3]);
    } else if (mode == "talk") {
        time_requests(times, &arguments[3]);
    } else {
        die("mode", "must be spawn or talk");
    }
    report(mode, times);
    return 0;
}
