// SPDX-License-Identifier: MIT
// Feeding the program's word reader from a pipe in unit tests.
#pragma once

#include <string_view>

namespace pipe_input
{

// Makes the word reader read `bytes` from a fresh pipe. With `then_close`, the
// writing end is closed afterwards, so the bytes are followed by end of input.
// Returns the writing end, or -1 when it was closed.
int feed(std::string_view bytes, bool then_close);

} // namespace pipe_input
