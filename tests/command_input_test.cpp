// SPDX-License-Identifier: MIT
// Reading command words: white space, the 127-byte limit, the end of input,
// the beginning of a word kept until it is whole, and when a word is waiting.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "command_input.h"
#include "support/pipe_input.h"

namespace
{

// The next word, the end of input or the read error, reading as passes do.
input::word_read next_word(input::command_buffer& command)
{
    for (;;) {
        input::read_available();
        const input::word_read read = input::take_word(command);
        if (read.result != input::outcome::no_word_yet) {
            return read;
        }
    }
}

// Every word until the input ends.
std::vector<std::string> all_words()
{
    std::vector<std::string> words;
    input::command_buffer command{};
    for (;;) {
        const input::word_read read = next_word(command);
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
    input::word_read read = next_word(command);
    ASSERT_EQ(read.result, input::outcome::word);
    EXPECT_EQ(std::string(command.data(), read.length), "ge");
    for (int again = 0; again < 2; ++again) {
        read = next_word(command);
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
    const input::word_read read = next_word(command);
    EXPECT_EQ(read.result, input::outcome::read_error);
    EXPECT_EQ(read.error, EISDIR);
    EXPECT_TRUE(input::word_pending()) << "the next pass must meet the error without waiting";
    close(directory);
}

// What a pass sees while the peer is slow: white space alone and the beginning
// of a word give no word yet, and the beginning is kept until later reads
// complete it; a non-blocking input found empty is neither a word nor an error.
TEST(CommandWords, TheBeginningOfAWordIsKeptUntilItIsWhole)
{
    const int writer = pipe_input::feed(" \n", false);
    ASSERT_EQ(fcntl(input::descriptor(), F_SETFL, O_NONBLOCK), 0);
    input::command_buffer command{};
    // The word taken after one read; "" for no word yet (a word is never empty).
    const auto take_after_one_read = [&command]() {
        input::read_available();
        const input::word_read read = input::take_word(command);
        EXPECT_TRUE(read.result == input::outcome::word ||
                    read.result == input::outcome::no_word_yet);
        return std::string(command.data(), read.length);
    };
    EXPECT_EQ(take_after_one_read(), "") << "white space alone";
    EXPECT_EQ(take_after_one_read(), "") << "nothing to read";
    for (const std::string_view piece : {"g", "e"}) {
        ASSERT_EQ(write(writer, piece.data(), 1), 1);
        EXPECT_EQ(take_after_one_read(), "") << "after " << piece;
        EXPECT_FALSE(input::word_pending());
    }
    ASSERT_EQ(write(writer, "t\nex", 4), 4);
    EXPECT_EQ(take_after_one_read(), "get");
    EXPECT_EQ(take_after_one_read(), "") << "ex, not yet ended";
    ASSERT_EQ(write(writer, "it", 2), 2);
    close(writer);
    EXPECT_EQ(take_after_one_read(), "") << "exit, which only the end of input ends";
    EXPECT_EQ(take_after_one_read(), "exit");
}

TEST(WordPending, WhenASecondWordArrivedWithTheFirst)
{
    const int writer = pipe_input::feed("get get\n", false);
    EXPECT_FALSE(input::word_pending()) << "nothing is taken in before the first read";
    input::read_available();
    input::command_buffer command{};
    ASSERT_EQ(input::take_word(command).result, input::outcome::word);
    EXPECT_TRUE(input::word_pending()) << "the second get is already in the buffer";
    ASSERT_EQ(input::take_word(command).result, input::outcome::word);
    EXPECT_FALSE(input::word_pending()) << "only the newline is left";
    close(writer);
}

TEST(WordPending, WhenTheRestOfASplitWordIsBufferedButNotForWhiteSpaceAlone)
{
    const int writer = pipe_input::feed(std::string(130, 'a') + " \t\r\n", false);
    input::read_available();
    input::command_buffer command{};
    ASSERT_EQ(input::take_word(command).length, 127U);
    EXPECT_TRUE(input::word_pending()) << "the rest of the split word";
    ASSERT_EQ(input::take_word(command).length, 3U);
    EXPECT_FALSE(input::word_pending());
    close(writer);
}

TEST(WordPending, AfterTheEndOfInputSoTheNextPassEndsAtOnce)
{
    pipe_input::feed("get", true);
    input::command_buffer command{};
    ASSERT_EQ(next_word(command).result, input::outcome::word);
    EXPECT_TRUE(input::word_pending());
}

} // namespace
