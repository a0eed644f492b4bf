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

} // namespace

void die(std::string_view what, std::string_view why)
{
    std::array<char, 512> line{};
    // Keep room for the newline, whatever the lengths of the parts.
    const std::span<char> body{line.data(), line.size() - 1};
    std::size_t used = append(body, 0, "get_pin: ");
    used = append(body, used, what);
    used = append(body, used, ": ");
    used = append(body, used, why);
    line.at(used++) = '\n';
    // Nothing more can be done if stderr itself fails.
    static_cast<void>(write(STDERR_FILENO, line.data(), used));
    std::exit(failure_status);
}

void die_errno(std::string_view what, int error_number)
{
    die(what, std::strerror(error_number));
}

} // namespace fail
