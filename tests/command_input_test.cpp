// SPDX-License-Identifier: MIT
// Reading command words: white space, the 127-byte limit, the end of input, and
// when a read would not have to wait.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "command_input.h"
#include "support/pipe_input.h"

namespace
{

// Every word until the input ends.
std::vector<std::string> all_words()
{
    std::vector<std::string> words;
    input::command_buffer command{};
    for (;;) {
        const input::word_read read = input::read_word(command);
        if (read.result != input::outcome::word) {
            EXPECT_EQ(read.result, input::outcome::end_of_input);
            return words;
        }
        EXPECT_EQ(command.at(read.length), '\0');
        words.emplace_back(command.data(), read.length);
    }
}

TEST(CommandWords, AreSeparatedByAnyOfTheSixWhiteSpaceBytes)
{
    pipe_input::feed(" \t get\r\nexit\vGET\f\f x\n\n", true);
    const std::vector<std::string> expected{"get", "exit", "GET", "x"};
    EXPECT_EQ(all_words(), expected);
}

TEST(CommandWords, LongerThan127BytesAreSplitAndTheRestReadLater)
{
    const std::string long_word(300, 'w');
    pipe_input::feed(long_word + "\n" + std::string(127, 'a') + "get", true);
    const std::vector<std::string> expected{std::string(127, 'w'), std::string(127, 'w'),
                                            std::string(46, 'w'), std::string(127, 'a'), "get"};
    EXPECT_EQ(all_words(), expected);
}

TEST(CommandWords, AWordEndedByTheEndOfInputCountsAndTheEndStays)
{
    pipe_input::feed("  ge", true);
    input::command_buffer command{};
    input::word_read read = input::read_word(command);
    ASSERT_EQ(read.result, input::outcome::word);
    EXPECT_EQ(std::string(command.data(), read.length), "ge");
    for (int again = 0; again < 2; ++again) {
        read = input::read_word(command);
        EXPECT_EQ(read.result, input::outcome::end_of_input);
    }
}

TEST(CommandWords, WhiteSpaceAloneBeforeTheEndIsNoWord)
{
    pipe_input::feed(" \n\t\r\n", true);
    EXPECT_TRUE(all_words().empty());
}

TEST(CommandWords, KeepZeroBytesSoGetFollowedByZeroIsNotGet)
{
    pipe_input::feed(std::string("get\0x get", 9), true);
    const std::vector<std::string> expected{std::string("get\0x", 5), "get"};
    EXPECT_EQ(all_words(), expected);
}

TEST(CommandWords, AReadErrorIsNotTheEndOfInput)
{
    const int directory = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    input::use_descriptor(directory);
    input::command_buffer command{};
    const input::word_read read = input::read_word(command);
    EXPECT_EQ(read.result, input::outcome::read_error);
    EXPECT_EQ(read.error, EISDIR);
    EXPECT_TRUE(input::word_pending()) << "the next pass must meet the error without waiting";
    close(directory);
}

TEST(WordPending, WhenASecondWordArrivedWithTheFirst)
{
    const int writer = pipe_input::feed("get get\n", false);
    EXPECT_FALSE(input::word_pending()) << "nothing is taken in before the first read";
    input::command_buffer command{};
    ASSERT_EQ(input::read_word(command).result, input::outcome::word);
    EXPECT_TRUE(input::word_pending()) << "the second get is already in the buffer";
    ASSERT_EQ(input::read_word(command).result, input::outcome::word);
    EXPECT_FALSE(input::word_pending()) << "only the newline is left";
    close(writer);
}

TEST(WordPending, WhenPartOfAWordIsBufferedButNotForWhiteSpaceAlone)
{
    const int writer = pipe_input::feed(std::string(130, 'a') + " \t\r\n", false);
    input::command_buffer command{};
    ASSERT_EQ(input::read_word(command).length, 127U);
    EXPECT_TRUE(input::word_pending()) << "the rest of the split word";
    ASSERT_EQ(input::read_word(command).length, 3U);
    EXPECT_FALSE(input::word_pending());
    close(writer);
}

TEST(WordPending, AfterTheEndOfInputSoTheNextPassEndsAtOnce)
{
    pipe_input::feed("get", true);
    input::command_buffer command{};
    ASSERT_EQ(input::read_word(command).result, input::outcome::word);
    EXPECT_TRUE(input::word_pending());
}

} // namespace
