// Passes of the command loop on the fake board: what each word does, and when
// pin 18 is sampled.
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

TEST(Pass, GetWritesOneReplyThenSamplesPin18)
{
    captured_output output;
    pipe_input::feed("get\n", true);
    EXPECT_EQ(pass(), program::pass_end::next_pass);
    EXPECT_EQ(output.taken(), "{3: 0, 7: 0, 27: 0, 32: 0, 36: 0, 18: 0, }\n");
    EXPECT_EQ(fake_board::calls.back(), "read 18 0");
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

TEST(Pass, ExitAndTheEndOfInputStopWithoutASample)
{
    pipe_input::feed("exit\n", false);
    EXPECT_EQ(pass(), program::pass_end::stop);
    pipe_input::feed("", true);
    EXPECT_EQ(pass(), program::pass_end::stop);
    EXPECT_EQ(samples_of_18(), 0);
}

TEST(Pass, AFirstGetShows18LowAndTheNextShowsTheSampleTakenBetween)
{
    captured_output output;
    fake_board::levels.at(18) = 1;
    pipe_input::feed("get get\n", true);
    EXPECT_EQ(pass(), program::pass_end::next_pass);
    EXPECT_EQ(pass(), program::pass_end::next_pass);
    EXPECT_EQ(output.taken(), "{3: 0, 7: 0, 27: 0, 32: 0, 36: 0, 18: 0, }\n"
                              "{3: 0, 7: 0, 27: 0, 32: 0, 36: 0, 18: 1, }\n");
}

TEST(Pass, WithoutInputSamplesOnceAfterTheWait)
{
    const int writer = pipe_input::feed("", false);
    EXPECT_EQ(pass(), program::pass_end::next_pass);
    EXPECT_EQ(samples_of_18(), 1);
    close(writer);
}

} // namespace
