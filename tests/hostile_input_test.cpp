// SPDX-License-Identifier: MIT
// get_pin against the inputs and streams it will meet in the field: random
// bytes, huge words, CR-LF lines, words trickling in a byte at a time, a person
// at a terminal, and standard streams that are closed, full or gone.
#include <gtest/gtest.h>

#include <array>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <random>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "support/pin_table.h"
#include "support/program_run.h"

namespace
{

using program_run::ending;
using program_run::repeated;

const std::string power_on_reply = pin_table::reply(pin_table::power_on_levels());

// How many replies `input` asks for: the words that are exactly "get", taking
// words as the program does (split after 127 bytes), up to the first "exit".
std::size_t gets_in(std::string_view input)
{
    constexpr std::string_view white_space{" \t\n\r\v\f"};
    std::size_t gets = 0;
    std::size_t position = input.find_first_not_of(white_space);
    while (position != std::string_view::npos) {
        const std::size_t end =
            std::min({input.find_first_of(white_space, position), input.size(), position + 127});
        const std::string_view word = input.substr(position, end - position);
        if (word == "exit") {
            break;
        }
        if (word == "get") {
            ++gets;
        }
        position = input.find_first_not_of(white_space, end);
    }
    return gets;
}

// Sends `input` while collecting the replies, so that neither side blocks.
ending run_streaming(const std::string& input)
{
    program_run::running program = program_run::start({});
    program_run::send(program, input);
    return program_run::finish(program);
}

TEST(HostileInput, RandomBytesWithZerosAndHighBytesAnswerOnlyTheGets)
{
    std::mt19937 random{7};
    std::string input;
    for (int chunk = 0; chunk < 2000; ++chunk) {
        for (int byte = 0; byte < 200; ++byte) {
            input.push_back(static_cast<char>(random() % 256));
        }
        using namespace std::string_view_literals;
        input += chunk % 3 == 0 ? " get\n"sv : " get\0 gets\r\n"sv;
    }
    const ending end = run_streaming(input);
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.errors, "");
    EXPECT_EQ(end.output, repeated(power_on_reply, gets_in(input)));
    EXPECT_GT(gets_in(input), 600U);
}

TEST(HostileInput, AMegabyteWordIsSplitAndIgnored)
{
    const std::string input = std::string(1 << 20, 'g') + " get\n" + std::string(1 << 20, '\x80');
    const ending end = run_streaming(input);
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.output, power_on_reply);
}

TEST(HostileInput, CarriageReturnLineFeedLinesAreAnswered)
{
    const ending end = program_run::run("get\r\nget\r\n\r\nexit\r\n");
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.output, repeated(power_on_reply, 2));
}

TEST(HostileInput, AGetWrittenOneByteAtATimeIsAnswered)
{
    program_run::running program = program_run::start({});
    for (const char byte : std::string_view{"  g"
                                            "e"
                                            "t"
                                            "\n"}) {
        program_run::send(program, std::string_view{&byte, 1});
    }
    EXPECT_EQ(program_run::next_line(program), power_on_reply);
    const ending end = program_run::finish(program);
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.output, "");
}

// What a terminal shows after `from`, until `wanted` appears.
bool terminal_shows(int terminal, std::string_view wanted, std::string& screen)
{
    for (;;) {
        if (screen.find(wanted) != std::string::npos) {
            return true;
        }
        pollfd request{.fd = terminal, .events = POLLIN, .revents = 0};
        std::array<char, 256> bytes{};
        if (poll(&request, 1, static_cast<int>(program_run::patience.count())) != 1) {
            return false;
        }
        const ssize_t count = read(terminal, bytes.data(), bytes.size());
        if (count <= 0) {
            return false;
        }
        screen.append(bytes.data(), static_cast<std::size_t>(count));
    }
}

TEST(HostileInput, APersonAtATerminalTypesGetAndExit)
{
    int keyboard = -1; // the terminal's master side: what the person types and sees
    int line = -1;
    ASSERT_EQ(openpty(&keyboard, &line, nullptr, nullptr, nullptr), 0);
    program_run::running program = program_run::start(
        {.environment = {}, .stdin_descriptor = line, .stdout_descriptor = line});
    close(line);
    std::string screen;
    ASSERT_EQ(write(keyboard, "get\n", 4), 4);
    // The terminal echoes the typing and turns each newline into CR LF.
    EXPECT_TRUE(terminal_shows(
        keyboard, power_on_reply.substr(0, power_on_reply.size() - 1) + "\r\n", screen))
        << screen;
    ASSERT_EQ(write(keyboard, "exit\n", 5), 5);
    const ending end = program_run::finish(program);
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.errors, "");
    close(keyboard);
}

TEST(HostileStreams, StandardInputAtDevNullEndsQuietly)
{
    const int null_device = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const ending end = program_run::run("", {.environment = {}, .stdin_descriptor = null_device});
    close(null_device);
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.output, "");
    EXPECT_EQ(end.errors, "");
}

TEST(HostileStreams, AReaderThatLeavesMidStreamEndsTheProgram)
{
    // The reply pipe's reader reads one reply and goes; the program is still
    // being asked for more and must end, not hang or spin.
    for (const bool ignore_sigpipe : {true, false}) {
        std::array<int, 2> replies{};
        ASSERT_EQ(pipe2(replies.data(), O_CLOEXEC), 0);
        program_run::running program = program_run::start({.environment = {},
                                                           .stdin_descriptor = -1,
                                                           .stdout_descriptor = replies[1],
                                                           .ignore_sigpipe = ignore_sigpipe});
        close(replies[1]);
        program_run::send(program, "get\n");
        std::array<char, 64> first{};
        EXPECT_GT(read(replies[0], first.data(), first.size()), 0);
        close(replies[0]);
        program_run::send(program, "get get get\n");
        const ending end = program_run::finish(program);
        if (ignore_sigpipe) {
            EXPECT_EQ(end.status, 1);
            EXPECT_EQ(end.errors, "get_pin: write reply: Broken pipe\n");
        } else {
            EXPECT_EQ(end.signal, SIGPIPE);
            EXPECT_EQ(end.errors, "");
        }
    }
}

} // namespace
