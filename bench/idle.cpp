// SPDX-License-Identifier: MIT
// Idle get_pin: the samples of pin 18 stamped as they arrive on a trace FIFO,
// and the CPU time and peak memory of an untraced one over a fixed time.
#include "idle.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "child_process.h"
#include "measurement.h"
#include "proc_counters.h"

namespace bench
{

namespace
{

// Time for get_pin to start before anything of it counts.
constexpr std::chrono::milliseconds idle_settle{250};

[[nodiscard]] std::int64_t nanoseconds(std::chrono::nanoseconds duration)
{
    return duration.count();
}

} // namespace

idle_sampling measure_idle_sampling(const std::string& get_pin, const std::string& directory)
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
    const std::int64_t window_start = begin + nanoseconds(idle_settle);
    const std::int64_t window_end = window_start + nanoseconds(idle_sampling_time);
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
    static_cast<void>(std::remove(fifo.c_str()));
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

idle_load measure_idle_load(const std::string& get_pin)
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
                   .resident_peak_kib = peak_resident_kib(peer.pid)};
    if (schedstat_before >= 0 && schedstat_after >= 0) {
        load.cpu_percent_schedstat = 100.0 * (schedstat_after - schedstat_before) / wall;
    }
    if (!finish(peer)) {
        fail("idle get_pin did not end cleanly");
    }
    return load;
}

} // namespace bench
