// SPDX-License-Identifier: MIT
// The reply line, written straight to the output descriptor with write(2): the
// whole line is handed over at once and a failed delivery is seen at once.
#include "reply.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <limits>
#include <poll.h>
#include <unistd.h>

#include "die.h"
#include "gpio/gpio.h"

namespace reply
{

namespace
{

// The longest reply line the pin table can give: "{", every pin read at the
// widest int (a level is what the board returns), the held pin's 0 or 1, then
// "}" and the newline. append_entry writes its separators unchecked.
constexpr std::size_t widest_line()
{
    const auto digits = [](std::int32_t number) {
        std::size_t count = 1;
        while ((number /= 10) != 0) {
            ++count;
        }
        return count;
    };
    constexpr std::size_t separators = 4; // ": " and ", "
    constexpr std::size_t widest_level = std::numeric_limits<std::int32_t>::digits10 + 2;
    std::size_t length = 3;
    for (const std::int32_t header_position : gpio::pins) {
        length += digits(header_position) + separators + widest_level;
    }
    return length + digits(gpio::held_pin) + separators + 1;
}
static_assert(widest_line() <= line_capacity,
              "the pin table's widest reply line does not fit reply::line_capacity: raise it");

// Appends "PIN: LEVEL, " at `cursor`.
char* append_entry(char* cursor, char* line_end, std::int32_t header_position, std::int32_t level)
{
    cursor = std::to_chars(cursor, line_end, header_position).ptr;
    *cursor++ = ':';
    *cursor++ = ' ';
    cursor = std::to_chars(cursor, line_end, level).ptr;
    *cursor++ = ',';
    *cursor++ = ' ';
    return cursor;
}

// Waits until an output descriptor left non-blocking by another program takes
// more bytes.
void wait_writable()
{
    pollfd request{.fd = STDOUT_FILENO, .events = POLLOUT, .revents = 0};
    while (poll(&request, 1, -1) < 0 && errno == EINTR) {
    }
}

} // namespace

std::string_view format_pins(std::span<char, line_capacity> line)
{
    char* const begin = line.data();
    char* const end = begin + line.size();
    char* cursor = begin;
    *cursor++ = '{';
    for (const std::int32_t header_position : gpio::pins) {
        cursor = append_entry(cursor, end, header_position, gpio::digitalRead(header_position));
    }
    cursor = append_entry(cursor, end, gpio::held_pin, gpio::pin_18_state());
    *cursor++ = '}';
    *cursor++ = '\n';
    return {begin, static_cast<std::size_t>(cursor - begin)};
}

void print_pins()
{
    std::array<char, line_capacity> line{};
    write_fully(format_pins(line), "write reply");
}

void write_fully(std::string_view bytes, std::string_view what)
{
    while (!bytes.empty()) {
        const ssize_t count = write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (count >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(count));
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            wait_writable();
        } else if (errno != EINTR) {
            fail::die_errno(what, errno);
        }
    }
}

} // namespace reply
