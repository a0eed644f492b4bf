// SPDX-License-Identifier: MIT
// --help, --version and the refusal of any other argument.
#include "arguments.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

#include "die.h"
#include "gpio/gpio.h"
#include "reply.h"
#include "version.h"

namespace arguments
{

namespace
{

// The usage, before and after the line that names the board.
constexpr std::string_view usage =
    "Usage: get_pin [--help | --version]\n"
    "Reports the levels of GPIO header pins 3, 7, 27, 32, 36 and 18 on request.\n"
    "Write `get` on standard input to get one reply line, for example\n"
    "  {3: 1, 7: 0, 27: 0, 32: 1, 36: 0, 18: 0, }\n"
    "and `exit`, or end the input, to stop; other words are ignored. Pin 18 is\n"
    "sampled about every 5 ms and reported as 1 if any of its last 8 samples was 1.\n";
constexpr std::string_view usage_end =
    "\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "Exit status: 0 after `exit` or the end of input; 1 on a failure, with one\n"
    "line on standard error; 2 for a bad argument.\n"
    "Details: man get_pin (in the source tree: man -l docs/get_pin.1)\n";

// Names the board on a line of its own: a build for the simulated board looks
// just like one for a real header until it is asked.
[[nodiscard]] std::string built_for_line()
{
    return "Built for " + std::string{gpio::board_description()} + ".\n";
}

[[nodiscard]] bool is_option(std::string_view argument)
{
    return argument == "--help" || argument == "--version";
}

} // namespace

void handle(std::span<char* const> given)
{
    if (given.size() <= 1) {
        return;
    }
    const std::span<char* const> after_name = given.subspan(1);
    const auto unexpected = std::ranges::find_if_not(
        after_name, [](const char* argument) { return is_option(argument); });
    if (unexpected != after_name.end()) {
        fail::die_usage({"unexpected argument '", *unexpected, "' (it takes none; see --help)"});
    }
    if (std::string_view{after_name.front()} == "--help") {
        reply::write_fully(std::string{usage} + built_for_line() + std::string{usage_end},
                           "write help");
    } else {
        reply::write_fully(std::string{version_line} + built_for_line(), "write version");
    }
    std::exit(EXIT_SUCCESS);
}

} // namespace arguments
