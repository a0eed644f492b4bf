// SPDX-License-Identifier: MIT
// round_trip: the emulated machines' GPIO tool, for the emulated-board test.
// It times reading the header pins, runs a program as a kernel without the
// GPIO character device v2 would, and reads, requests and holds lines through
// the v2 calls alone, which every kernel from Linux 5.10 on has (Debian 14's
// kernels have no v1). Static, it runs on every machine.
//
//   round_trip spawn COUNT PROGRAM [ARGS...]  runs PROGRAM COUNT times, one
//                                             process per reading
//   round_trip talk COUNT PROGRAM [ARGS...]   starts PROGRAM once and times
//                                             COUNT "get" requests, each until
//                                             its reply line (get_pin)
//   round_trip before-5.10 PROGRAM [ARGS...]  runs PROGRAM (exec) with the
//                                             v2 calls on GPIO chips failing
//                                             as before Linux 5.10
//   round_trip device-not-allowed PROGRAM [ARGS...]
//                                             runs PROGRAM (exec) with every
//                                             read-write open refused, as a
//                                             container's device cgroup does
//   round_trip info CHIP [LINE...]            prints "gpiochipN [LABEL] (N
//                                             lines)", then what the kernel
//                                             reports of each LINE (of every
//                                             line when none is named)
//   round_trip read CHIP LINE...              requests the lines as inputs and
//                                             prints their levels, "1 0 ..."
//   round_trip hold CHIP LINE...              requests the lines as inputs,
//                                             prints "held" and holds them
//                                             until its standard input ends
//
// A line of info reads 'line 4 "GPIO_GCLK": used by "onewire", output,
// open-drain' or 'line 2 "SDA1": unused, input'. Requests name the consumer
// "round_trip". The timing modes print one line, "MODE: COUNT runs, median N
// us, min N us, max N us", and exit 0. Every failure (a failed run, a missing
// reply line, a non-zero status of PROGRAM, a call the kernel refused) is one
// line on stderr and status 1.
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/gpio.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <span>
#include <spawn.h>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace
{

constexpr std::size_t max_count = 1000;
constexpr std::string_view consumer = "round_trip";
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

constexpr std::uint32_t aarch64_ioctl = 29;
constexpr std::uint32_t arm_ioctl = 54;

// The system call numbers of ioctl and openat for each ABI a program on these
// machines can use: arm64, and 32-bit ARM (EABI) on either kernel.
constexpr std::uint32_t aarch64_openat = 56;
constexpr std::uint32_t arm_openat = 322;

constexpr std::uint32_t arch = offsetof(seccomp_data, arch);
constexpr std::uint32_t number = offsetof(seccomp_data, nr);
// The low halves (little endian) of the second and third arguments: ioctl's
// request code, openat's flags.
constexpr std::uint32_t second_argument = offsetof(seccomp_data, args) + sizeof(std::uint64_t);
constexpr std::uint32_t third_argument = second_argument + sizeof(std::uint64_t);
constexpr std::uint32_t allow = SECCOMP_RET_ALLOW;

constexpr std::uint32_t refuse_with(int error)
{
    return SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(error) & SECCOMP_RET_DATA);
}

// A kernel before 5.10 knows the v1 calls on a GPIO chip and answers every
// other one, the v2 calls among them, with EINVAL. This filter does the same
// for the three v2 calls on a chip; the rest runs as the kernel has it.
constexpr std::array<sock_filter, 13> before_v2{{
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arch),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_AARCH64, 0, 2),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, number),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, aarch64_ioctl, 3, 7),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_ARM, 0, 6),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, number),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arm_ioctl, 0, 4),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, second_argument),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, GPIO_V2_GET_LINE_IOCTL, 3, 0),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, GPIO_V2_GET_LINEINFO_IOCTL, 2, 0),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, GPIO_V2_GET_LINEINFO_WATCH_IOCTL, 1, 0),
    BPF_STMT(BPF_RET | BPF_K, allow),
    BPF_STMT(BPF_RET | BPF_K, refuse_with(EINVAL)),
}};

// A container's device cgroup that was not given a device refuses to open it
// with EPERM, whatever the file's mode. This filter refuses every read-write
// open so, which get_pin makes of GPIO chips alone.
constexpr std::array<sock_filter, 12> device_not_allowed{{
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arch),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_AARCH64, 0, 2),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, number),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, aarch64_openat, 3, 6),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_ARM, 0, 5),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, number),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arm_openat, 0, 3),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, third_argument),
    BPF_STMT(BPF_ALU | BPF_AND | BPF_K, O_ACCMODE),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, O_RDWR, 1, 0),
    BPF_STMT(BPF_RET | BPF_K, allow),
    BPF_STMT(BPF_RET | BPF_K, refuse_with(EPERM)),
}};

// Runs a program (exec) under a system-call filter.
[[noreturn]] void run_filtered(std::span<const sock_filter> filter, char** argv)
{
    // The kernel's structure points at the filter without taking it as const.
    std::vector<sock_filter> instructions{filter.begin(), filter.end()};
    const sock_fprog program{.len = static_cast<unsigned short>(instructions.size()),
                             .filter = instructions.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        die_errno("install the system-call filter", errno);
    }
    execv(argv[0], argv);
    die_errno(argv[0], errno);
}

// What info prints for each flag the kernel reports of a line, in this order.
struct flag_name {
    std::uint64_t flag;
    std::string_view name;
};
constexpr std::array<flag_name, 11> flag_names{{
    {GPIO_V2_LINE_FLAG_INPUT, "input"},
    {GPIO_V2_LINE_FLAG_OUTPUT, "output"},
    {GPIO_V2_LINE_FLAG_ACTIVE_LOW, "active-low"},
    {GPIO_V2_LINE_FLAG_BIAS_PULL_UP, "pull-up"},
    {GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN, "pull-down"},
    {GPIO_V2_LINE_FLAG_BIAS_DISABLED, "bias-disabled"},
    {GPIO_V2_LINE_FLAG_OPEN_DRAIN, "open-drain"},
    {GPIO_V2_LINE_FLAG_OPEN_SOURCE, "open-source"},
    {GPIO_V2_LINE_FLAG_EDGE_RISING, "edge-rising"},
    {GPIO_V2_LINE_FLAG_EDGE_FALLING, "edge-falling"},
    {GPIO_V2_LINE_FLAG_EVENT_CLOCK_REALTIME, "realtime-clock"},
}};

// The kernel's fixed-size strings end at their first NUL, or fill the array.
template <std::size_t size> [[nodiscard]] std::string_view text_of(const char (&text)[size])
{
    return {text, strnlen(text, size)};
}

[[nodiscard]] int open_chip(const char* path)
{
    const int chip = open(path, O_RDWR | O_CLOEXEC);
    if (chip < 0) {
        die_errno(path, errno);
    }
    return chip;
}

// The offsets named after the chip, at most the kernel's limit of one request.
struct offsets {
    std::array<std::uint32_t, GPIO_V2_LINES_MAX> values{};
    std::size_t count = 0;
};

[[nodiscard]] offsets parse_offsets(std::span<char*> texts)
{
    offsets parsed;
    if (texts.size() > parsed.values.size()) {
        die("LINE", "too many lines");
    }
    for (const std::string_view text : texts) {
        std::uint32_t& value = parsed.values.at(parsed.count++);
        const auto [end, error] = std::from_chars(text.begin(), text.end(), value);
        if (error != std::errc{} || end != text.end()) {
            die("LINE", "must be a line number");
        }
    }
    return parsed;
}

void print_line(int chip, const char* path, std::uint32_t offset)
{
    gpio_v2_line_info info{};
    info.offset = offset;
    if (ioctl(chip, GPIO_V2_GET_LINEINFO_IOCTL, &info) != 0) {
        die_errno(path, errno);
    }
    const std::string_view name = text_of(info.name);
    std::printf("line %u \"%.*s\": ", offset, static_cast<int>(name.size()), name.data());
    if ((info.flags & GPIO_V2_LINE_FLAG_USED) != 0) {
        const std::string_view holder = text_of(info.consumer);
        std::printf("used by \"%.*s\"", static_cast<int>(holder.size()), holder.data());
    } else {
        std::printf("unused");
    }
    for (const flag_name& flag : flag_names) {
        if ((info.flags & flag.flag) != 0) {
            std::printf(", %.*s", static_cast<int>(flag.name.size()), flag.name.data());
        }
    }
    for (const gpio_v2_line_attribute& attribute : std::span{info.attrs}.first(info.num_attrs)) {
        if (attribute.id == GPIO_V2_LINE_ATTR_ID_DEBOUNCE) {
            std::printf(", debounce %u us", attribute.debounce_period_us);
        }
    }
    std::printf("\n");
}

void print_info(const char* path, std::span<char*> lines)
{
    const int chip = open_chip(path);
    gpiochip_info info{};
    if (ioctl(chip, GPIO_GET_CHIPINFO_IOCTL, &info) != 0) {
        die_errno(path, errno);
    }
    const std::string_view name = text_of(info.name);
    const std::string_view label = text_of(info.label);
    std::printf("%.*s [%.*s] (%u lines)\n", static_cast<int>(name.size()), name.data(),
                static_cast<int>(label.size()), label.data(), info.lines);
    if (lines.empty()) {
        for (std::uint32_t offset = 0; offset < info.lines; ++offset) {
            print_line(chip, path, offset);
        }
    } else {
        const offsets wanted = parse_offsets(lines);
        for (const std::uint32_t offset : std::span{wanted.values}.first(wanted.count)) {
            print_line(chip, path, offset);
        }
    }
    close(chip);
}

// The lines requested as inputs, with no other flag: the request's descriptor.
[[nodiscard]] int request_inputs(const char* path, const offsets& lines)
{
    const int chip = open_chip(path);
    gpio_v2_line_request lines_request{};
    std::copy_n(lines.values.begin(), lines.count, std::begin(lines_request.offsets));
    std::copy(consumer.begin(), consumer.end(), std::begin(lines_request.consumer));
    lines_request.config.flags = GPIO_V2_LINE_FLAG_INPUT;
    lines_request.num_lines = static_cast<std::uint32_t>(lines.count);
    if (ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &lines_request) != 0) {
        die_errno("request lines", errno);
    }
    close(chip);
    return lines_request.fd;
}

void read_levels(const char* path, std::span<char*> lines)
{
    const offsets wanted = parse_offsets(lines);
    const int held = request_inputs(path, wanted);
    gpio_v2_line_values values{};
    values.mask = wanted.count == GPIO_V2_LINES_MAX ? ~0ULL : (1ULL << wanted.count) - 1;
    if (ioctl(held, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) != 0) {
        die_errno("read lines", errno);
    }
    for (std::size_t index = 0; index < wanted.count; ++index) {
        std::printf(index == 0 ? "%llu" : " %llu",
                    static_cast<unsigned long long>((values.bits >> index) & 1U));
    }
    std::printf("\n");
    close(held);
}

// Holds the lines as another program would, until its input ends.
void hold_lines(const char* path, std::span<char*> lines)
{
    const int held = request_inputs(path, parse_offsets(lines));
    std::printf("held\n");
    std::fflush(stdout);
    std::array<char, 64> buffer{};
    for (;;) {
        const ssize_t count = read(STDIN_FILENO, buffer.data(), buffer.size());
        if (count == 0) {
            break;
        }
        if (count < 0 && errno != EINTR) {
            die_errno("read standard input", errno);
        }
    }
    close(held);
}

} // namespace

int main(int argc, char** argv)
{
    const std::span<char*> arguments{argv, static_cast<std::size_t>(argc)};
    const std::string_view command = arguments.size() >= 3 ? arguments[1] : "";
    if (command == "before-5.10") {
        run_filtered(before_v2, &arguments[2]);
    }
    if (command == "device-not-allowed") {
        run_filtered(device_not_allowed, &arguments[2]);
    }
    if (command == "info") {
        print_info(arguments[2], arguments.subspan(3));
        return 0;
    }
    if ((command == "read" || command == "hold") && arguments.size() >= 4) {
        if (command == "read") {
            read_levels(arguments[2], arguments.subspan(3));
        } else {
            hold_lines(arguments[2], arguments.subspan(3));
        }
        return 0;
    }
    if (arguments.size() < 4) {
        die("usage",
            "round_trip spawn|talk COUNT PROGRAM [ARGS...] | before-5.10|device-not-allowed "
            "PROGRAM [ARGS...] | info CHIP [LINE...] | read|hold CHIP LINE...");
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
