// SPDX-License-Identifier: MIT
// Round trips of one request to get_pin and to cat, and /bin/true started and
// reaped, each timed on the monotonic clock.
#include "round_trips.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "child_process.h"
#include "gpio/gpio.h"
#include "measurement.h"

extern char** environ;

namespace bench
{

namespace
{

constexpr int round_trip_warm_up = 500;
// The reply's pins in its order, from the program's table: the read pins, then
// the held pin.
constexpr std::array<std::int32_t, gpio::pins.size() + 1> reply_pins = [] {
    std::array<std::int32_t, gpio::pins.size() + 1> in_order{};
    std::ranges::copy(gpio::pins, in_order.begin());
    in_order.back() = gpio::held_pin;
    return in_order;
}();

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
    for (const std::int32_t pin : reply_pins) {
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

} // namespace

round_trip_pair measure_round_trips(const std::string& get_pin, const std::string& cat)
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

spawn_times measure_process_per_read()
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

} // namespace bench
