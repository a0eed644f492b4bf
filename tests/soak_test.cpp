// SPDX-License-Identifier: MIT
// A long run: a million pipelined requests while the pin levels change, with
// every reply checked against the simulated board's trace and resident memory
// compared from start to end. Labelled "soak"; run with `ctest --preset soak`.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "support/board_trace.h"
#include "support/program_run.h"

namespace
{

constexpr std::size_t requests = 1'000'000;
constexpr std::size_t requests_per_write = 4096;
constexpr std::size_t requests_between_level_changes = 25'000;

// The program's resident memory in kB, from /proc.
long resident_kilobytes(pid_t pid)
{
    std::ifstream status{"/proc/" + std::to_string(pid) + "/status"};
    for (std::string field; status >> field;) {
        if (field == "VmRSS:") {
            long kilobytes = 0;
            status >> kilobytes;
            return kilobytes;
        }
    }
    return -1;
}

std::string random_levels(std::mt19937& random)
{
    std::string levels(40, '0');
    for (char& level : levels) {
        level = random() % 2 == 0 ? '0' : '1';
    }
    return levels;
}

TEST(Soak, AMillionPipelinedGetsAreAllAnsweredAndMatchTheTrace)
{
    const program_run::temporary_folder scratch;
    const std::string& folder = scratch.path;
    const std::string levels = folder + "/levels";
    const std::string trace = folder + "/trace";
    std::mt19937 random{1};
    program_run::write_file(levels, random_levels(random));
    program_run::running program = program_run::start(
        {.environment = {"GET_PIN_SIM_LEVELS=" + levels, "GET_PIN_SIM_TRACE=" + trace}});

    std::thread requester{[&program] {
        const std::string burst = program_run::repeated("get ", requests_per_write);
        for (std::size_t sent = 0; sent < requests; sent += requests_per_write) {
            const std::size_t count = std::min(requests_per_write, requests - sent);
            program_run::send(program, std::string_view{burst}.substr(0, count * 4));
        }
    }};

    std::vector<std::string> replies;
    replies.reserve(requests);
    long early_resident = 0;
    while (replies.size() < requests) {
        const auto reply = program_run::next_line(program);
        if (!reply) {
            break;
        }
        replies.push_back(*reply);
        if (replies.size() % requests_between_level_changes == 0) {
            program_run::write_file(levels, random_levels(random));
        }
        if (replies.size() == 10'000) {
            early_resident = resident_kilobytes(program.pid);
        }
    }
    requester.join();
    const long late_resident = resident_kilobytes(program.pid);
    const program_run::ending end = program_run::finish(program);

    EXPECT_EQ(replies.size(), requests);
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.output, "") << "no reply beyond the requests";
    EXPECT_LE(late_resident - early_resident, 64) << "kB at 10,000 replies: " << early_resident;
    const std::vector<std::string> traced =
        board_trace::replies_from_trace(program_run::read_file(trace));
    ASSERT_EQ(traced.size(), replies.size());
    std::size_t mismatches = 0;
    for (std::size_t reply = 0; reply < replies.size(); ++reply) {
        if (traced[reply] != replies[reply] && mismatches++ < 5) {
            ADD_FAILURE() << "reply " << reply << ": " << replies[reply] << "trace says "
                          << traced[reply];
        }
    }
    EXPECT_EQ(mismatches, 0U);
}

} // namespace
