// SPDX-License-Identifier: MIT
// Command words over read(2). The program keeps its own buffer, rather than
// reading through stdio, so that it knows when a word is already waiting in it
// (readiness of the descriptor says nothing about bytes already taken in), and
// so that a read never has to wait for the rest of a word.
#include "command_input.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace input
{

namespace
{

// Large enough that a peer pipelining requests costs one read per many words.
std::array<char, std::size_t{64} * 1024> buffer{};
std::size_t unread_begin = 0; // buffer[unread_begin, unread_end) is not yet consumed
std::size_t unread_end = 0;
int input_descriptor = STDIN_FILENO;
bool end_seen = false;
int read_error_seen = 0;

[[nodiscard]] bool is_white_space(char byte)
{
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r' || byte == '\v' ||
           byte == '\f';
}

void skip_white_space()
{
    while (unread_begin < unread_end && is_white_space(buffer.at(unread_begin))) {
        ++unread_begin;
    }
}

[[nodiscard]] bool input_over()
{
    return end_seen || read_error_seen != 0;
}

// The length of the word at the start of the unread bytes, if it is whole:
// ended by white space, by the length limit or by the end of input. 0 when
// there is no word yet, or only its beginning.
[[nodiscard]] std::size_t whole_word_length()
{
    skip_white_space();
    const std::size_t available = std::min(unread_end - unread_begin, word_limit);
    std::size_t length = 0;
    while (length < available && !is_white_space(buffer.at(unread_begin + length))) {
        ++length;
    }
    const bool ended = length == word_limit || unread_begin + length < unread_end || input_over();
    return ended ? length : 0;
}

[[nodiscard]] word_read no_word()
{
    if (unread_begin < unread_end || !input_over()) {
        return {.result = outcome::no_word_yet, .length = 0, .error = 0};
    }
    if (read_error_seen != 0) {
        return {.result = outcome::read_error, .length = 0, .error = read_error_seen};
    }
    return {.result = outcome::end_of_input, .length = 0, .error = 0};
}

} // namespace

int descriptor()
{
    return input_descriptor;
}

void use_descriptor(int file_descriptor)
{
    input_descriptor = file_descriptor;
    unread_begin = 0;
    unread_end = 0;
    end_seen = false;
    read_error_seen = 0;
}

bool word_pending()
{
    return whole_word_length() > 0 || input_over();
}

void read_available()
{
    // Only with no whole word waiting: what is left is then at most the
    // beginning of a word, which moves to the front, and the read fills the
    // rest of the buffer.
    if (word_pending()) {
        return;
    }
    std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(unread_begin),
              buffer.begin() + static_cast<std::ptrdiff_t>(unread_end), buffer.begin());
    unread_end -= unread_begin;
    unread_begin = 0;
    ssize_t count = -1;
    do {
        count = read(input_descriptor, buffer.data() + unread_end, buffer.size() - unread_end);
    } while (count < 0 && errno == EINTR);
    // A descriptor left non-blocking by another program and found empty
    // (EAGAIN) has nothing to take: the next pass waits for it again.
    if (count > 0) {
        unread_end += static_cast<std::size_t>(count);
    } else if (count == 0) {
        end_seen = true;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        read_error_seen = errno;
    }
}

word_read take_word(command_buffer& command)
{
    const std::size_t length = whole_word_length();
    if (length == 0) {
        return no_word();
    }
    std::copy_n(buffer.begin() + static_cast<std::ptrdiff_t>(unread_begin), length,
                command.begin());
    unread_begin += length;
    command.at(length) = '\0';
    return {.result = outcome::word, .length = length, .error = 0};
}

} // namespace input
