// SPDX-License-Identifier: MIT
#include "board_trace.h"

#include <algorithm>
#include <array>
#include <sstream>

#include "gpio/gpio.h"

namespace board_trace
{

std::vector<std::string> replies_from_trace(const std::string& trace)
{
    std::vector<std::string> replies;
    std::array<int, gpio::window_depth> last_samples{}; // a ring: the oldest is overwritten
    std::size_t next_sample = 0;
    std::istringstream lines{trace};
    std::string operation;
    std::string reply;
    int header_position = 0;
    int level = 0;
    while (lines >> operation) {
        if (operation == "setup") {
            continue;
        }
        lines >> header_position >> level;
        if (operation != "read") {
            continue;
        }
        if (header_position == gpio::held_pin) {
            last_samples.at(next_sample++ % last_samples.size()) = level;
            continue;
        }
        reply += (header_position == gpio::pins.front() ? "{" : "") +
                 std::to_string(header_position) + ": " + std::to_string(level) + ", ";
        if (header_position == gpio::pins.back()) {
            const bool held =
                std::ranges::any_of(last_samples, [](int sample) { return sample != 0; });
            replies.push_back(reply + std::to_string(gpio::held_pin) + ": " + (held ? "1" : "0") +
                              ", }\n");
            reply.clear();
        }
    }
    return replies;
}

} // namespace board_trace
