// SPDX-License-Identifier: MIT
// The built get_pin on the simulated board, over pipes: the exact reply bytes,
// the commands and the command line, the end of input, pipelined requests,
// replies checked against the board's trace, the sampling rate of pin 18, and
// every failure a user can meet.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

#include "support/board_trace.h"
#include "support/pin_table.h"
#include "support/program_run.h"
#include "version.h"

namespace
{

using program_run::ending;
using program_run::run;

// A word that the board built in must be named by, from CMake.
constexpr std::string_view board_name = GET_PIN_BOARD_NAME;

using pin_table::levels_with_high;
using pin_table::reply;

// The expected replies and trace, from the pin table (src/gpio/gpio.h).
const std::string power_on_reply = reply(pin_table::power_on_levels());
const std::string all_low_reply = reply(levels_with_high({}));
const std::string setup_trace = [] {
    std::string trace;
    for (const std::string& call : pin_table::setup_calls()) {
        trace += call + "\n";
    }
    return trace;
}();
constexpr int held_pin = gpio::held_pin;
// A sample of the held pin in the trace.
const std::string held_read = "read " + std::to_string(held_pin) + " ";

struct simulated_board {
    program_run::temporary_folder scratch;
    std::string folder = scratch.path;
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

TEST(Replies, AreExactlyTheLineOfThePinTable)
{
    simulated_board board;
    program_run::write_file(board.levels, levels_with_high({3, 32}));
    const ending end = run("get\n", board.options());
    expect_clean_end(end);
    EXPECT_EQ(end.output, reply(levels_with_high({3, 32})));
    EXPECT_TRUE(program_run::read_file(board.trace).starts_with(setup_trace));
}

TEST(Replies, FirstShowPin18LowThenHoldItsSample)
{
    simulated_board board;
    program_run::write_file(board.levels, levels_with_high({held_pin}));
    const ending end = run("get get\n", board.options());
    EXPECT_EQ(end.output, all_low_reply + reply(levels_with_high({}), "1"));
}

// A word that differs from a command only in case or by one character does
// nothing: no output, and the get after it is answered.
TEST(Commands, OtherWordsAreIgnoredSilently)
{
    for (const std::string_view word :
         {"GET", "gets", "get,", "Get", "xget", "EXIT", "exits", "exit,", "Exit", "xexit"}) {
        const ending end = run(std::string{word} + "\nget\n");
        expect_clean_end(end);
        EXPECT_EQ(end.output, power_on_reply) << word;
    }
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

// --help and --version are answered and end the program; any other argument is
// refused with status 2 before the board is set up, so no GPIO is touched.
TEST(Commands, OnTheCommandLineOnlyHelpAndVersionAreTaken)
{
    const ending help = run("get\n", {.arguments = {"--help"}});
    expect_clean_end(help);
    // Its example reply is a copy of the pin table that docs_pin_copies checks.
    for (const std::string_view text : {"`get`", "`exit`", "man get_pin"}) {
        EXPECT_NE(help.output.find(text), std::string::npos) << text;
    }
    EXPECT_EQ(help.output.find(power_on_reply), std::string::npos) << "the get was answered";

    const ending version = run("get\n", {.arguments = {"--version"}});
    expect_clean_end(version);
    // The version of the sources built (version.h).
    const std::string version_line{arguments::version_line};
    ASSERT_TRUE(version.output.starts_with(version_line)) << version.output;
    // Both name the board on a line of their own, so that a simulated board is
    // never taken for the real header.
    const std::string board_line = version.output.substr(version_line.size());
    EXPECT_TRUE(board_line.starts_with("Built for ") && board_line.ends_with(".\n") &&
                board_line.find(board_name) != std::string::npos &&
                std::ranges::count(board_line, '\n') == 1)
        << board_line;
    EXPECT_NE(help.output.find("\n" + board_line), std::string::npos) << help.output;
    // Given both, the first is answered.
    EXPECT_EQ(run("", {.arguments = {"--version", "--help"}}).output, version.output);
    EXPECT_EQ(run("", {.arguments = {"--help", "--version"}}).output, help.output);
    // Neither reads standard input, so it may be closed; they write on
    // standard output, so that may not.
    for (const auto& [option, answer] :
         {std::pair{"--version", &version}, std::pair{"--help", &help}}) {
        const ending closed_input =
            run("", {.stdin_descriptor = program_run::closed_stream, .arguments = {option}});
        expect_clean_end(closed_input);
        EXPECT_EQ(closed_input.output, answer->output) << option;
    }
    expect_failure(
        run("", {.stdout_descriptor = program_run::closed_stream, .arguments = {"--version"}}),
        "get_pin: write version: Bad file descriptor");

    simulated_board board;
    for (const auto& [arguments, named] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--bogus"}, "--bogus"},
             {{"--help", "-v", "x"}, "-v"},
             {{""}, ""},
             {{"--ver"}, "--ver"},
             {{"--version", "--hel"}, "--hel"}}) {
        program_run::options settings = board.options();
        settings.arguments = arguments;
        const ending refused = run("get\n", settings);
        EXPECT_EQ(refused.status, 2) << named;
        EXPECT_EQ(refused.errors,
                  "get_pin: unexpected argument '" + named + "' (it takes none; see --help)\n");
        EXPECT_EQ(refused.output, "");
        EXPECT_EQ(program_run::read_file(board.trace), "") << "the board was set up";
    }

    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    expect_failure(run("", {.stdout_descriptor = full, .arguments = {"--help"}}),
                   "get_pin: write help: No space left on device");
    close(full);
}

// Another program may leave the input non-blocking: a read that finds it empty
// is waited out, not taken for a read error.
TEST(Commands, ANonBlockingInputThatIsEmptyIsWaitedFor)
{
    simulated_board board;
    program_run::options settings = board.options();
    settings.nonblocking_input = true;
    program_run::running program = program_run::start(settings);
    // A pipe of one page has room again only once get_pin has read all of it.
    const auto page = static_cast<int>(sysconf(_SC_PAGESIZE));
    ASSERT_EQ(fcntl(program.input, F_SETPIPE_SZ, page), page);
    // Idle: samples of pin 18 are being taken.
    ASSERT_TRUE(program_run::wait_for_text(board.trace, held_read + "0\n" + held_read + "0\n"));
    // Blank lines, each alone in the pipe: get_pin takes one in, and its next
    // pass waits on the empty pipe, unless the next line is written first;
    // which comes first is the scheduler's choice, so there are many.
    for (int line = 0; line < 20; ++line) {
        program_run::send(program, "\n");
        pollfd room{.fd = program.input, .events = POLLOUT, .revents = 0};
        if (poll(&room, 1, static_cast<int>(program_run::patience.count())) != 1 ||
            room.revents != POLLOUT) {
            break; // get_pin has gone; its end says why
        }
    }
    program_run::send(program, "get\n");
    EXPECT_EQ(program_run::next_line(program), all_low_reply);
    program_run::send(program, "exit\n");
    const ending end = program_run::finish(program);
    expect_clean_end(end);
    EXPECT_EQ(end.output, "");
}

// A controller that reads slowly from an output another program left
// non-blocking: a reply that finds the pipe full is waited for, and every reply
// arrives whole.
TEST(Commands, ANonBlockingOutputThatIsFullIsWaitedFor)
{
    program_run::running program = program_run::start({.nonblocking_output = true});
    const auto page = static_cast<int>(sysconf(_SC_PAGESIZE));
    ASSERT_EQ(fcntl(program.output, F_SETPIPE_SZ, page), page);
    constexpr int requests = 1000; // 42,000 bytes of replies
    program_run::send(program, program_run::repeated("get\n", requests) + "exit\n");
    // The reader pauses until the pipe has no room for another reply, or until
    // get_pin writes on stderr or ends.
    const auto deadline = std::chrono::steady_clock::now() + program_run::patience;
    int unread = 0;
    pollfd errors{.fd = program.errors, .events = POLLIN, .revents = 0};
    while (ioctl(program.output, FIONREAD, &unread) == 0 &&
           unread + static_cast<int>(power_on_reply.size()) <= page &&
           std::chrono::steady_clock::now() < deadline && poll(&errors, 1, 10) == 0) {
    }
    const ending end = program_run::finish(program);
    expect_clean_end(end);
    EXPECT_EQ(end.output, program_run::repeated(power_on_reply, requests));
}

// With the input kept open, so that no hang-up cuts the waits short: a pass
// that waited for input before handing out a word already read in would make
// each of them wait its 5 ms, 5 s for a thousand. They take milliseconds; the
// bound guards against that gross fault only.
TEST(Pipelining, WordsSentTogetherAreAllAnsweredWithoutMoreInput)
{
    constexpr int requests = 1000;
    program_run::running program = program_run::start({});
    program_run::send(program, program_run::repeated("get ", requests) + "\n");
    ASSERT_EQ(program_run::next_line(program), power_on_reply);
    const auto first_reply = std::chrono::steady_clock::now();
    for (int reply = 1; reply < requests; ++reply) {
        ASSERT_EQ(program_run::next_line(program), power_on_reply) << "reply " << reply;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - first_reply, std::chrono::milliseconds{2500});
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
        levels.at(held_pin - 1) = random() % 6 == 0 ? '1' : '0';
        program_run::write_file(board.levels, levels);
        program_run::send(program, "get\n");
        const auto line = program_run::next_line(program);
        if (!line) {
            FAIL() << "no reply to request " << request;
        }
        replies.push_back(*line);
        const std::string direct = reply(levels);
        EXPECT_TRUE(line->starts_with(direct.substr(0, direct.rfind(std::to_string(held_pin)))))
            << *line << "levels " << levels;
    }
    program_run::send(program, "exit\n");
    expect_clean_end(program_run::finish(program));
    EXPECT_EQ(board_trace::replies_from_trace(program_run::read_file(board.trace)), replies);
    EXPECT_TRUE(std::ranges::any_of(replies, [](const std::string& line) {
        return line.ends_with(std::to_string(held_pin) + ": 1, }\n");
    }));
}

// get_pin samples pin 18 once per 5 ms wait while idle: about 200 times a
// second, also when the peer's last bytes were a blank line or the beginning
// of a word. This guards against gross faults only, a busy loop, a wait
// several times too long or one for the rest of the word; the benchmark tool
// measures the rate and the gaps. On a loaded machine wake-ups come late, so
// the best of twenty short windows is judged against the slowest rate, and all
// of them against the fastest.
class IdleSampling : public testing::TestWithParam<std::string_view>
{
};

TEST_P(IdleSampling, ShowsPin18SampledAbout200TimesASecond)
{
    simulated_board board;
    program_run::running program = program_run::start(board.options());
    ASSERT_TRUE(program_run::wait_for_text(board.trace, held_read));
    program_run::send(program, GetParam());
    // Two samples after what was sent, when the program has taken it in.
    const std::size_t sent_at = program_run::read_file(board.trace).size();
    ASSERT_TRUE(
        program_run::wait_for_text(board.trace, held_read + "0\n" + held_read + "0\n", sent_at));
    const auto samples_in_trace = [&board] {
        const std::string trace = program_run::read_file(board.trace);
        std::size_t samples = 0;
        for (std::size_t at = trace.find(held_read); at != std::string::npos;
             at = trace.find(held_read, at + 1)) {
            ++samples;
        }
        return static_cast<double>(samples);
    };
    using milliseconds = std::chrono::duration<double, std::milli>;
    constexpr double wait_ms = 5.0;
    double best_share = 0.0; // of one sample per wait, in the best window
    double all_samples = 0.0;
    milliseconds all_time{0};
    for (int window = 0; window < 20; ++window) {
        const auto begin = std::chrono::steady_clock::now();
        const double before = samples_in_trace();
        // The measured window (a measurement, not a wait for an event): nothing
        // is sent, and nothing may come out.
        pollfd output{.fd = program.output, .events = POLLIN, .revents = 0};
        EXPECT_EQ(poll(&output, 1, 100), 0);
        const double samples = samples_in_trace() - before;
        const milliseconds time = std::chrono::steady_clock::now() - begin;
        best_share = std::max(best_share, samples / (time.count() / wait_ms));
        all_samples += samples;
        all_time += time;
    }
    // A 20 ms wait gives at most 0.3 in 100 ms (a quarter, and one sample more
    // at the window's edge); a busy loop, thousands.
    EXPECT_GE(best_share, 0.4);
    EXPECT_LE(all_samples, 1.5 * all_time.count() / wait_ms) << "in " << all_time.count() << " ms";
    program_run::send(program, "t\nexit\n");
    expect_clean_end(program_run::finish(program));
}

constexpr std::array<std::string_view, 4> idle_after{"", "\n", " \r\n", "ge"};

std::string name_of_idle_case(const testing::TestParamInfo<std::string_view>& sent_before)
{
    constexpr std::array<std::string_view, idle_after.size()> names{
        "Nothing", "ABlankLine", "ACrLfLine", "TheBeginningOfAWord"};
    return std::string{names.at(sent_before.index)};
}

INSTANTIATE_TEST_SUITE_P(AfterThePeerSent, IdleSampling, testing::ValuesIn(idle_after),
                         name_of_idle_case);

// A pulse on pin 18 while a word arrives a byte at a time is sampled, and a
// get after pin 18 has gone low for eight samples answers 0 for it: a blank
// line or part of a word never holds up the sampling.
TEST(Trace, SamplingGoesOnWhileTheInputHoldsNoWholeWord)
{
    simulated_board board;
    program_run::write_file(board.levels, levels_with_high({held_pin}));
    program_run::running program = program_run::start(board.options());
    ASSERT_TRUE(program_run::wait_for_text(board.trace, held_read + "1\n"));
    std::string eight_low;
    for (std::size_t sample = 0; sample < gpio::window_depth; ++sample) {
        eight_low += held_read + "0\n";
    }
    program_run::send(program, "\n");
    program_run::write_file(board.levels, levels_with_high({}));
    ASSERT_TRUE(program_run::wait_for_text(board.trace, eight_low)) << "after a blank line";
    program_run::send(program, "get\n");
    EXPECT_EQ(program_run::next_line(program), all_low_reply);

    program_run::send(program, "g");
    std::size_t sent_at = program_run::read_file(board.trace).size();
    program_run::write_file(board.levels, levels_with_high({held_pin}));
    EXPECT_TRUE(program_run::wait_for_text(board.trace, held_read + "1\n", sent_at))
        << "the pulse after 'g'";
    program_run::write_file(board.levels, levels_with_high({}));
    program_run::send(program, "e");
    sent_at = program_run::read_file(board.trace).size();
    EXPECT_TRUE(program_run::wait_for_text(board.trace, eight_low, sent_at)) << "after 'ge'";
    program_run::send(program, "t\n");
    EXPECT_EQ(program_run::next_line(program), all_low_reply);
    program_run::send(program, "exit\n");
    expect_clean_end(program_run::finish(program));
}

TEST(Failures, AReadErrorIsReportedAndIsNotTheEndOfInput)
{
    const int directory = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    expect_failure(run("", {.environment = {}, .stdin_descriptor = directory}),
                   "get_pin: read standard input: Is a directory");
    // With standard error closed the failure goes nowhere, and nowhere else:
    // not into the trace, the first file that the program opens. A wrapper
    // such as valgrind shares the program's stderr and cannot start without
    // it; the unwrapped runs of this test cover the case.
    if (std::getenv("GET_PIN_TEST_WRAPPER") == nullptr) {
        simulated_board board;
        program_run::options settings = board.options();
        settings.stdin_descriptor = directory;
        settings.stderr_descriptor = program_run::closed_stream;
        const ending silent = run("", settings);
        EXPECT_EQ(silent.status, 1);
        EXPECT_EQ(program_run::read_file(board.trace), setup_trace);
    }
    close(directory);
}

TEST(Failures, AReplyThatCannotBeDeliveredIsReported)
{
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    expect_failure(
        run("get\n", {.environment = {}, .stdin_descriptor = -1, .stdout_descriptor = full}),
        "get_pin: write reply: No space left on device");
    close(full);
}

// A standard stream closed at start would be taken by the first file the
// program opens, which would then get the replies or be read for commands: it
// ends the program before the board is set up.
TEST(Failures, AStandardInputOrOutputClosedAtStartIsRefused)
{
    simulated_board board;
    for (const auto& [stdin_descriptor, stdout_descriptor, name] :
         {std::tuple{program_run::closed_stream, -1, "standard input"},
          std::tuple{-1, program_run::closed_stream, "standard output"}}) {
        program_run::options settings = board.options();
        settings.stdin_descriptor = stdin_descriptor;
        settings.stdout_descriptor = stdout_descriptor;
        expect_failure(run("get\nget\n", settings),
                       std::string{"get_pin: "} + name +
                           ": Bad file descriptor (it was closed when get_pin started)");
        EXPECT_EQ(program_run::read_file(board.trace), "") << name;
    }
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
    // A levels file that cannot give levels is refused at set-up, rather than
    // run on the power-on levels as if it did (or, a FIFO, waited on).
    const std::string fifo = board.folder + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    program_run::write_file(board.folder + "/short", std::string(39, '1'));
    program_run::write_file(board.folder + "/letters", std::string(39, '1') + "x");
    for (const auto& [path, why] : std::vector<std::pair<std::string, std::string>>{
             {fifo, "not a regular file"},
             {board.folder, "not a regular file"},
             {"/dev/zero", "not a regular file"},
             {board.folder + "/short",
              "39 bytes, fewer than the 40 levels of header positions 1 to 40"},
             {board.folder + "/letters", "its first 40 bytes are not all 0 or 1"}}) {
        std::string message = "get_pin: simulated board: levels file " + path;
        message += ": " + why;
        expect_failure(run("get\n", {.environment = {"GET_PIN_SIM_LEVELS=" + path}}), message);
    }
}

TEST(SimulatedBoard, KeepsTheLastCompleteLevelsWhileTheFileIsRewritten)
{
    simulated_board board;
    program_run::write_file(board.levels, levels_with_high({7}));
    program_run::running program = program_run::start(board.options());
    program_run::send(program, "get\n");
    EXPECT_EQ(program_run::next_line(program), reply(levels_with_high({7})));
    for (const std::string& partial : {std::string(39, '1'), std::string(40, 'x'), std::string{}}) {
        program_run::write_file(board.levels, partial);
        program_run::send(program, "get\n");
        EXPECT_EQ(program_run::next_line(program), reply(levels_with_high({7})));
    }
    program_run::write_file(board.levels, levels_with_high({36}) + "trailing bytes are ignored");
    program_run::send(program, "get\n");
    EXPECT_EQ(program_run::next_line(program), reply(levels_with_high({36})));
    expect_clean_end(program_run::finish(program));
}

} // namespace
