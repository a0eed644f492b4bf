// SPDX-License-Identifier: MIT
// Pipelined gets: a writer thread fills get_pin's input as fast as the pipe
// takes it while this thread reads and checks the replies; the same run under
// strace counts the system calls.
#include "pipelined.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <span>
#include <sstream>
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

// A peer that stays silent this long while replies are owed has lost them.
constexpr int stall_timeout_ms = 10'000;

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
[[nodiscard]] std::int64_t read_replies(int descriptor, std::string_view reply, std::int64_t count,
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
    result.resident_peak_kib = peak_resident_kib(peer.pid);
    result.reads = read_calls(peer.pid);
    result.writes = write_calls(peer.pid);
    close_input(peer);
    // Whatever comes after the last owed reply is extra.
    std::array<char, 4096> rest{};
    for (ssize_t got = 0; (got = read(peer.from_child, rest.data(), rest.size())) > 0;) {
        result.extra += std::count(rest.begin(), rest.begin() + got, '\n');
    }
    result.exited_cleanly = finish(peer);
    return result;
}

} // namespace

bool every_reply(const pipelined_result& result, std::int64_t count)
{
    return result.replies == count && result.malformed == 0 && result.extra == 0;
}

pipelined_result measure_pipelined(const std::string& get_pin, std::string_view reply)
{
    const pipelined_result result = pipeline({get_pin}, reply, pipelined_count);
    if (!every_reply(result, pipelined_count) || !result.exited_cleanly) {
        fail("pipelined run: replies lost, extra or malformed");
    }
    return result;
}

syscall_count count_syscalls(const std::string& strace, const std::string& get_pin,
                             std::string_view reply, const std::string& directory)
{
    const std::string summary = directory + "/strace-summary";
    const pipelined_result run =
        pipeline({strace, "-f", "-c", "-o", summary, "--", get_pin}, reply, strace_count);
    if (!every_reply(run, strace_count) || !run.exited_cleanly) {
        fail("the pipelined run under strace lost or garbled replies");
    }
    // Rows are "% time, seconds, usecs/call, calls, [errors,] name"; the last
    // row, named "total", adds them up.
    syscall_count counted{};
    std::ifstream table(summary);
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
    table.close();
    static_cast<void>(std::remove(summary.c_str()));
    if (counted.total == 0) {
        fail("no strace summary in " + summary);
    }
    return counted;
}

} // namespace bench
