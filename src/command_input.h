// SPDX-License-Identifier: MIT
// Reading command words from standard input through the program's own buffer.
//
// A word is what scanf("%127s") would read: white space (blank, tab, newline,
// carriage return, vertical tab, form feed) is skipped, then up to 127 other
// bytes are taken; the white space that ends a word stays unread, and the rest
// of a longer word is read later as a word of its own. A read blocks until the
// word is ended by white space, by the length limit or by the end of input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace input
{

inline constexpr std::size_t word_limit = 127;
// A word and its terminating zero.
using command_buffer = std::array<char, word_limit + 1>;

enum class outcome : std::uint8_t { word, end_of_input, read_error };

struct word_read {
    outcome result;
    std::size_t length; // of the word, when result is outcome::word
    int error;          // errno, when result is outcome::read_error
};

// The descriptor that readiness is tested on (standard input).
[[nodiscard]] int descriptor();

// Starts reading from `file_descriptor` with nothing buffered. For tests and
// fuzzing; the program reads standard input.
void use_descriptor(int file_descriptor);

// True when a read would not have to wait for new input: a word (or part of
// one) is already buffered, or the end of input or a read error has been met.
// Buffered white space alone does not count.
[[nodiscard]] bool word_pending();

// Reads the next word into `command`, zero-terminated. Bytes are taken as they
// are; a zero byte is part of the word, and the returned length counts it.
[[nodiscard]] word_read read_word(command_buffer& command);

} // namespace input
