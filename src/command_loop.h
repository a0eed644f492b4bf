// SPDX-License-Identifier: MIT
// One pass of the command loop: wait up to 5 ms for a command, handle at most
// one word, then take one sample of header pin 18.
#pragma once

#include <cstdint>
#include <string_view>

#include "command_input.h"

namespace program
{

// How long a pass waits for input; it sets the sampling rate of pin 18 while
// the peer is idle.
inline constexpr int readiness_wait_ms = 5;

enum class pass_end : std::uint8_t { next_pass, stop };

// "get" writes the reply line, "exit" stops, every other word is ignored.
[[nodiscard]] pass_end handle_word(std::string_view word);

// Runs one pass, reading into `command`. Stops at "exit" and at the end of
// input, neither of which takes a sample. A read error ends the program with a
// message and status 1.
[[nodiscard]] pass_end run_pass(input::command_buffer& command);

} // namespace program
