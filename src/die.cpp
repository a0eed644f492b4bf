// SPDX-License-Identifier: MIT
// One-line failure messages on stderr, written with a single write(2) so that a
// message is never interleaved or half-buffered.
#include "die.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <span>
#include <unistd.h>

namespace fail
{

namespace
{

std::size_t append(std::span<char> line, std::size_t used, std::string_view text)
{
    const std::size_t room = line.size() - used;
    const std::size_t count = std::min(room, text.size());
    std::copy_n(text.begin(), count, line.begin() + static_cast<std::ptrdiff_t>(used));
    return used + count;
}

// Writes "get_pin: ", the parts and a newline as one line, then exits.
[[noreturn]] void die_with_line(std::initializer_list<std::string_view> parts, int status)
{
    std::array<char, 512> line{};
    // Keep room for the newline, whatever the lengths of the parts.
    const std::span<char> body{line.data(), line.size() - 1};
    std::size_t used = append(body, 0, "get_pin: ");
    for (const std::string_view part : parts) {
        used = append(body, used, part);
    }
    line.at(used++) = '\n';
    // Nothing more can be done if stderr itself fails.
    static_cast<void>(write(STDERR_FILENO, line.data(), used));
    std::exit(status);
}

} // namespace

void die(std::string_view what, std::string_view why)
{
    die_with_line({what, ": ", why}, failure_status);
}

void die_errno(std::string_view what, int error_number)
{
    die(what, std::strerror(error_number));
}

void die_usage(std::initializer_list<std::string_view> message)
{
    die_with_line(message, usage_status);
}

} // namespace fail
