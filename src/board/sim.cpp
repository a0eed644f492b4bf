// SPDX-License-Identifier: MIT
// The simulated board: a 40-position header for machines without one.
//
// GET_PIN_SIM_LEVELS names a file whose first 40 bytes are the levels of
// header positions 1 to 40, '1' high and '0' low, read again at every level
// read. At set-up it must be a regular file whose first 40 bytes are such
// levels, or get_pin ends as for a missing file. Without it the header reads
// as a board with nothing connected: the positions pulled up at power-on are
// high, all others low.
// GET_PIN_SIM_TRACE names a file that gets one line per operation, in call
// order: "setup", "mode PIN MODE", "read PIN LEVEL".
//
//   $ printf '%040d' 0 > levels; GET_PIN_SIM_LEVELS=levels build/host/get_pin
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fcntl.h>
#include <initializer_list>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "board/board.h"
#include "board/header.h"
#include "die.h"

namespace board
{

const std::string_view built_for = "the simulated board: no real pin is read";

namespace
{

using header_levels = std::array<char, header_size>;

constexpr header_levels power_on_levels()
{
    header_levels levels{};
    for (int header_position = 1; header_position <= header_size; ++header_position) {
        levels.at(static_cast<std::size_t>(header_position - 1)) =
            pulled_up_at_power_on(header_position) ? '1' : '0';
    }
    return levels;
}

header_levels levels = power_on_levels();
const char* levels_path = nullptr;
int trace_descriptor = -1;

[[nodiscard]] bool is_gpio_line(int header_position)
{
    return line_of_position(header_position) != no_line;
}

[[noreturn]] void refuse(const std::string& what, int header_position, std::string_view why)
{
    fail::die(what + std::to_string(header_position), why);
}

// Appends one line to the trace, in one write so that lines never interleave.
void trace(std::string_view operation, std::initializer_list<int> numbers = {})
{
    if (trace_descriptor < 0) {
        return;
    }
    std::array<char, 64> line{};
    char* cursor = std::ranges::copy(operation, line.begin()).out;
    for (const int number : numbers) {
        *cursor++ = ' ';
        cursor = std::to_chars(cursor, line.end(), number).ptr;
    }
    *cursor++ = '\n';
    const auto length = static_cast<std::size_t>(cursor - line.begin());
    if (write(trace_descriptor, line.data(), length) != static_cast<ssize_t>(length)) {
        fail::die_errno("simulated board: write trace file", errno);
    }
}

// Takes the levels file's first 40 bytes when they are complete and valid; a
// file being rewritten leaves the last complete levels in force. True when
// they were taken.
bool load_levels(int descriptor)
{
    header_levels fresh{};
    std::size_t filled = 0;
    while (filled < fresh.size()) {
        const ssize_t count = read(descriptor, fresh.data() + filled, fresh.size() - filled);
        if (count > 0) {
            filled += static_cast<std::size_t>(count);
        } else if (count == 0 || errno != EINTR) {
            break;
        }
    }
    const bool valid = filled == fresh.size() && std::ranges::all_of(fresh, [](char level) {
                           return level == '0' || level == '1';
                       });
    if (valid) {
        levels = fresh;
    }
    return valid;
}

// Non-blocking, so that a FIFO put in the file's place never stops the program.
[[nodiscard]] int open_levels_file()
{
    return open(levels_path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}

[[noreturn]] void refuse_levels_file(std::string_view why)
{
    fail::die(std::string{"simulated board: levels file "} + levels_path, why);
}

// At set-up, a levels file that cannot give levels is refused, as a missing
// one is, rather than run on the power-on levels as if it could.
void load_first_levels()
{
    const int descriptor = open_levels_file();
    if (descriptor < 0) {
        fail::die_errno(std::string{"simulated board: open levels file "} + levels_path, errno);
    }
    struct stat status = {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        refuse_levels_file("not a regular file");
    }
    if (status.st_size < header_size) {
        refuse_levels_file(std::to_string(status.st_size) +
                           " bytes, fewer than the 40 levels of header positions 1 to 40");
    }
    if (!load_levels(descriptor)) {
        refuse_levels_file("its first 40 bytes are not all 0 or 1");
    }
    close(descriptor);
}

// Opened by name at every read, so that a file replaced by rename is seen too.
void refresh_levels()
{
    if (levels_path == nullptr) {
        return;
    }
    const int descriptor = open_levels_file();
    if (descriptor < 0) {
        return;
    }
    static_cast<void>(load_levels(descriptor));
    close(descriptor);
}

} // namespace

int wiringPiSetupPhys()
{
    if (const char* trace_path = std::getenv("GET_PIN_SIM_TRACE"); trace_path != nullptr) {
        trace_descriptor = open(trace_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (trace_descriptor < 0) {
            fail::die_errno(std::string{"simulated board: open trace file "} + trace_path, errno);
        }
    }
    levels_path = std::getenv("GET_PIN_SIM_LEVELS");
    if (levels_path != nullptr) {
        load_first_levels();
    }
    trace("setup");
    return 0;
}

void pinMode(int header_position, int mode)
{
    if (!is_gpio_line(header_position)) {
        refuse("simulated board: set up header pin ", header_position,
               "no GPIO line at this header position (power, ground or outside 1-40)");
    }
    if (mode != input_mode) {
        refuse("simulated board: set mode " + std::to_string(mode) + " on header pin ",
               header_position, "only input (mode 0) exists; the board never drives a pin");
    }
    trace("mode", {header_position, mode});
}

int digitalRead(int header_position)
{
    refresh_levels();
    int level = 0;
    if (is_gpio_line(header_position)) {
        level = levels.at(static_cast<std::size_t>(header_position - 1)) == '1' ? 1 : 0;
    }
    trace("read", {header_position, level});
    return level;
}

void end()
{
}

} // namespace board
