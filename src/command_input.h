// SPDX-License-Identifier: MIT
// Reading command words from standard input through the program's own buffer.
//
// A word is what scanf("%127s") would read: white space (blank, tab, newline,
// carriage return, vertical tab, form feed) is skipped, then up to 127 other
// bytes are taken; the white space that ends a word stays unread, and the rest
// of a longer word is read later as a word of its own.
//
// Nothing here waits for the peer. A pass takes in what the descriptor has
// with at most one read, and takes a word out only once it is whole: ended by
// white space, by the length limit or by the end of input. The beginning of a
// word stays buffered until later reads complete it, so a blank line or a word
// typed a key at a time never holds up the sampling of the held pin.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace input
{

inline constexpr std::size_t word_limit = 127;
// A word and its terminating zero.
using command_buffer = std::array<char, word_limit + 1>;

enum class outcome : std::uint8_t { word, no_word_yet, end_of_input, read_error };

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

// True when take_word has something to give without another read: a whole
// word is buffered, or the end of input or a read error has been met. White
// space and the beginning of a word do not count.
[[nodiscard]] bool word_pending();

// Takes in what the descriptor has now, with one read(2) (repeated only when a
// signal interrupts it), after the beginning of a word kept from earlier reads.
// Reads nothing while word_pending() holds. Meant for when the descriptor is
// readable; on a non-blocking descriptor with nothing to read it takes nothing.
// Records the end of input or a read error, which stay.
void read_available();

// Takes the next whole word out of the buffer into `command`, zero-terminated.
// Bytes are taken as they are; a zero byte is part of the word, and the
// returned length counts it. Gives outcome::no_word_yet when the buffer holds
// no whole word, and the end of input or the read error once every word before
// it has been taken.
[[nodiscard]] word_read take_word(command_buffer& command);

} // namespace input
