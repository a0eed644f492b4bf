// SPDX-License-Identifier: MIT
// The built get_pin on the simulated board, over pipes: the exact reply bytes,
// the commands, the end of input, pipelined requests, replies checked against
// the board's trace, and every failure a user can meet.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/board_trace.h"
#include "support/program_run.h"

namespace
{

using program_run::ending;
using program_run::run;

// A board with nothing connected: the lines pulled up at power-on read high.
constexpr std::string_view power_on_reply = "{3: 1, 7: 1, 27: 1, 32: 0, 36: 0, 18: 0, }\n";
constexpr std::string_view setup_trace = "setup\nmode 3 0\nmode 7 0\nmode 27 0\nmode 32 0\n"
                                         "mode 36 0\nmode 18 0\n";

// Levels of header positions 1 to 40 with the given positions high.
std::string levels_with_high(std::initializer_list<int> high_positions)
{
    std::string levels(40, '0');
    for (const int header_position : high_positions) {
        levels.at(static_cast<std::size_t>(header_position - 1)) = '1';
    }
    return levels;
}

struct simulated_board {
    std::string folder = program_run::temporary_folder();
    std::string levels = folder + "/levels";
    std::string trace = folder + "/trace";

    simulated_board()
    {
        program_run::write_file(levels, levels_with_high({}));
    }

    [[nodiscard]] program_run::options options() const
    {
        return {.environment = {"GET_PIN_SIM_LEVELS=" + levels, "GET_PIN_SIM_TRACE=" + trace}};
    }
};

void expect_clean_end(const ending& end)
{
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.errors, "");
}

// A failure a user can meet: one line on stderr, status 1, no reply.
void expect_failure(const ending& end, std::string_view message)
{
    EXPECT_EQ(end.status, 1);
    EXPECT_EQ(end.errors, std::string{message} + "\n");
    EXPECT_EQ(end.output, "");
}

TEST(Replies, AreExactlyTheLineOfSixEntries)
{
    simulated_board board;
    program_run::write_file(board.levels, levels_with_high({3, 32}));
    const ending end = run("get\n", board.options());
    expect_clean_end(end);
    EXPECT_EQ(end.output, "{3: 1, 7: 0, 27: 0, 32: 1, 36: 0, 18: 0, }\n");
    EXPECT_TRUE(program_run::read_file(board.trace).starts_with(setup_trace));
}

TEST(Replies, WithoutALevelsFileShowTheLinesPulledUpAtPowerOn)
{
    const ending end = run("get\n");
    expect_clean_end(end);
    EXPECT_EQ(end.output, power_on_reply);
}

TEST(Replies, FirstShowPin18LowThenHoldItsSample)
{
    simulated_board board;
    program_run::write_file(board.levels, levels_with_high({18}));
    const ending end = run("get get\n", board.options());
    EXPECT_EQ(end.output, "{3: 0, 7: 0, 27: 0, 32: 0, 36: 0, 18: 0, }\n"
                          "{3: 0, 7: 0, 27: 0, 32: 0, 36: 0, 18: 1, }\n");
}

TEST(Commands, OtherWordsAreIgnoredSilently)
{
    const ending end = run("GET gets get, Get xget exit. EXIT\n");
    expect_clean_end(end);
    EXPECT_EQ(end.output, "");
}

TEST(Commands, ExitEndsAtOnceWithoutSamplingPin18)
{
    simulated_board board;
    const ending end = run("exit\nget\n", board.options());
    expect_clean_end(end);
    EXPECT_EQ(end.output, "");
    EXPECT_EQ(program_run::read_file(board.trace), setup_trace);
}

TEST(Commands, TheEndOfInputEndsWithAndWithoutAFinalNewline)
{
    for (const std::string_view input : {"get\n", "get", "  get \t"}) {
        const ending end = run(input);
        expect_clean_end(end);
        EXPECT_EQ(end.output, power_on_reply) << "input: " << input;
    }
    simulated_board board;
    const ending silent = run("", board.options());
    expect_clean_end(silent);
    EXPECT_EQ(silent.output, "");
    EXPECT_EQ(program_run::read_file(board.trace), setup_trace);
}

TEST(Commands, A127ByteWordFollowedDirectlyByGetIsTwoWords)
{
    const ending end = run(std::string(127, 'x') + "get\n" + std::string(126, 'x') + "get\n");
    expect_clean_end(end);
    EXPECT_EQ(end.output, power_on_reply) << "only the first get stands alone after a split";
}

TEST(Pipelining, WordsSentTogetherAreAllAnsweredWithoutMoreInput)
{
    program_run::running program = program_run::start({});
    program_run::send(program, "get get get\n");
    for (int reply = 0; reply < 3; ++reply) {
        EXPECT_EQ(program_run::next_line(program), power_on_reply) << "reply " << reply;
    }
    program_run::send(program, "exit\n");
    const ending end = program_run::finish(program);
    expect_clean_end(end);
    EXPECT_EQ(end.output, "");
}

TEST(Trace, RepliesMatchTheReadsJustBeforeThemWhileLevelsChange)
{
    simulated_board board;
    program_run::running program = program_run::start(board.options());
    std::mt19937 random{20261208};
    std::vector<std::string> replies;
    for (int request = 0; request < 80; ++request) {
        std::string levels(40, '0');
        for (char& level : levels) {
            level = random() % 2 == 0 ? '0' : '1';
        }
        // Pin 18 is high only now and then, so that holding and releasing show.
        levels.at(17) = random() % 6 == 0 ? '1' : '0';
        program_run::write_file(board.levels, levels);
        program_run::send(program, "get\n");
        const auto reply = program_run::next_line(program);
        ASSERT_TRUE(reply.has_value());
        replies.push_back(*reply);
        const std::string direct = std::string{"{3: "} + levels.at(2) + ", 7: " + levels.at(6) +
                                   ", 27: " + levels.at(26) + ", 32: " + levels.at(31) +
                                   ", 36: " + levels.at(35) + ", ";
        EXPECT_TRUE(reply->starts_with(direct)) << *reply << "levels " << levels;
    }
    program_run::send(program, "exit\n");
    expect_clean_end(program_run::finish(program));
    EXPECT_EQ(board_trace::replies_from_trace(program_run::read_file(board.trace)), replies);
    EXPECT_TRUE(std::any_of(replies.begin(), replies.end(), [](const std::string& reply) {
        return reply.ends_with("18: 1, }\n");
    }));
}

TEST(Failures, AReadErrorIsReportedAndIsNotTheEndOfInput)
{
    const int directory = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    expect_failure(run("", {.environment = {}, .stdin_descriptor = directory}),
                   "get_pin: read standard input: Is a directory");
    close(directory);
    expect_failure(run("", {.environment = {}, .stdin_descriptor = program_run::closed_stream}),
                   "get_pin: read standard input: Bad file descriptor");
}

TEST(Failures, AReplyThatCannotBeDeliveredIsReported)
{
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    expect_failure(
        run("get\n", {.environment = {}, .stdin_descriptor = -1, .stdout_descriptor = full}),
        "get_pin: write reply: No space left on device");
    close(full);
    expect_failure(run("get\n", {.environment = {},
                                 .stdin_descriptor = -1,
                                 .stdout_descriptor = program_run::closed_stream}),
                   "get_pin: write reply: Bad file descriptor");
}

TEST(Failures, TheSimulatedBoardReportsSetUpFailuresInsteadOfLevels)
{
    simulated_board board;
    expect_failure(run("get\n", {.environment = {"GET_PIN_SIM_LEVELS=" + board.folder + "/none"}}),
                   "get_pin: simulated board: open levels file " + board.folder +
                       "/none: No such file or directory");
    expect_failure(run("get\n", {.environment = {"GET_PIN_SIM_TRACE=" + board.folder}}),
                   "get_pin: simulated board: open trace file " + board.folder +
                       ": Is a directory");
}

TEST(SimulatedBoard, KeepsTheLastCompleteLevelsWhileTheFileIsRewritten)
{
    simulated_board board;
    program_run::write_file(board.levels, levels_with_high({7}));
    program_run::running program = program_run::start(board.options());
    program_run::send(program, "get\n");
    EXPECT_EQ(program_run::next_line(program), "{3: 0, 7: 1, 27: 0, 32: 0, 36: 0, 18: 0, }\n");
    for (const std::string& partial : {std::string(39, '1'), std::string(40, 'x'), std::string{}}) {
        program_run::write_file(board.levels, partial);
        program_run::send(program, "get\n");
        EXPECT_EQ(program_run::next_line(program), "{3: 0, 7: 1, 27: 0, 32: 0, 36: 0, 18: 0, }\n");
    }
    program_run::write_file(board.levels, levels_with_high({36}) + "trailing bytes are ignored");
    program_run::send(program, "get\n");
    EXPECT_EQ(program_run::next_line(program), "{3: 0, 7: 0, 27: 0, 32: 0, 36: 1, 18: 0, }\n");
    expect_clean_end(program_run::finish(program));
}

} // namespace
