// SPDX-License-Identifier: MIT
// Command words over read(2). The program keeps its own buffer, rather than
// reading through stdio, so that it knows when a word is already waiting in it:
// readiness of the descriptor says nothing about bytes already taken in.
#include "command_input.h"

#include <cerrno>
#include <poll.h>
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

// Waits until a descriptor left non-blocking by another program has input.
void wait_readable()
{
    pollfd request{.fd = input_descriptor, .events = POLLIN, .revents = 0};
    while (poll(&request, 1, -1) < 0 && errno == EINTR) {
    }
}

// Reads more input once everything buffered has been consumed: a word split
// across reads has its first part in the command buffer already. Records the
// end of input or a read error, which stay: later reads report them again.
void refill()
{
    unread_begin = 0;
    unread_end = 0;
    for (;;) {
        const ssize_t count = read(input_descriptor, buffer.data(), buffer.size());
        if (count > 0) {
            unread_end = static_cast<std::size_t>(count);
            return;
        }
        if (count == 0) {
            end_seen = true;
            return;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            wait_readable();
            continue;
        }
        read_error_seen = errno;
        return;
    }
}

[[nodiscard]] bool input_over()
{
    return end_seen || read_error_seen != 0;
}

[[nodiscard]] word_read no_word()
{
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
    skip_white_space();
    return unread_begin < unread_end || input_over();
}

word_read read_word(command_buffer& command)
{
    skip_white_space();
    while (unread_begin == unread_end) {
        if (input_over()) {
            return no_word();
        }
        refill();
        skip_white_space();
    }

    std::size_t length = 0;
    for (;;) {
        while (unread_begin < unread_end && length < word_limit &&
               !is_white_space(buffer.at(unread_begin))) {
            command.at(length++) = buffer.at(unread_begin++);
        }
        const bool ended = length == word_limit || unread_begin < unread_end;
        if (ended || input_over()) {
            break;
        }
        refill();
    }
    command.at(length) = '\0';
    return {.result = outcome::word, .length = length, .error = 0};
}

} // namespace input
