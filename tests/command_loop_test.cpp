// SPDX-License-Identifier: MIT
// Passes of the command loop on the fake board: every pass that goes on ends
// with a sample of pin 18, whether it read a word or not. (What each command
// writes is checked end to end, on the built program.)
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "command_loop.h"
#include "support/fake_board.h"
#include "support/pipe_input.h"

namespace
{

// Standard output of the passes run while it is in scope goes to a pipe.
struct captured_output {
    std::array<int, 2> ends{};
    int saved_stdout = -1;

    captured_output()
    {
        EXPECT_EQ(pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK), 0);
        saved_stdout = dup(STDOUT_FILENO);
        dup2(ends[1], STDOUT_FILENO);
    }
    captured_output(const captured_output&) = delete;
    captured_output& operator=(const captured_output&) = delete;
    ~captured_output()
    {
        dup2(saved_stdout, STDOUT_FILENO);
        close(saved_stdout);
        close(ends[0]);
        close(ends[1]);
    }

    std::string taken()
    {
        std::array<char, 4096> bytes{};
        const ssize_t count = read(ends[0], bytes.data(), bytes.size());
        return count > 0 ? std::string(bytes.data(), static_cast<std::size_t>(count)) : "";
    }
};

long samples_of_18()
{
    return std::count_if(fake_board::calls.begin(), fake_board::calls.end(),
                         [](const std::string& call) { return call.starts_with("read 18 "); });
}

program::pass_end pass()
{
    static input::command_buffer command{};
    return program::run_pass(command);
}

TEST(Pass, OtherWordsAreIgnoredButThePassStillSamples)
{
    captured_output output;
    pipe_input::feed("GET gets get, exit. ge\n", true);
    for (int word = 0; word < 5; ++word) {
        EXPECT_EQ(pass(), program::pass_end::next_pass);
    }
    EXPECT_EQ(output.taken(), "");
    EXPECT_EQ(samples_of_18(), 5);
}

// A blank line, or a word that has only begun to arrive, must not hold up the
// sampling: the pass ends as one without input does.
TEST(Pass, WithoutAWholeWordSamplesOnceAfterTheWait)
{
    captured_output output;
    for (const std::string_view waiting : {"", "\n", " \r\n\t", "ge"}) {
        fake_board::calls.clear();
        const int writer = pipe_input::feed(waiting, false);
        EXPECT_EQ(pass(), program::pass_end::next_pass);
        EXPECT_EQ(samples_of_18(), 1) << "after '" << waiting << "'";
        ASSERT_EQ(write(writer, "t\n", 2), 2);
        EXPECT_EQ(pass(), program::pass_end::next_pass);
        EXPECT_EQ(output.taken().empty(), waiting != "ge") << "after '" << waiting << "'";
        close(writer);
    }
}

} // namespace
