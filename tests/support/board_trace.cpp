// SPDX-License-Identifier: MIT
#include "board_trace.h"

#include <algorithm>
#include <array>
#include <sstream>

namespace board_trace
{

std::vector<std::string> replies_from_trace(const std::string& trace)
{
    std::vector<std::string> replies;
    std::array<int, 8> last_samples_of_18{}; // a ring: the oldest is overwritten
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
        if (header_position == 18) {
            last_samples_of_18.at(next_sample++ % last_samples_of_18.size()) = level;
            continue;
        }
        reply += (header_position == 3 ? "{" : "") + std::to_string(header_position) + ": " +
                 std::to_string(level) + ", ";
        if (header_position == 36) {
            const bool held =
                std::ranges::any_of(last_samples_of_18, [](int sample) { return sample != 0; });
            replies.push_back(reply + "18: " + (held ? "1" : "0") + ", }\n");
            reply.clear();
        }
    }
    return replies;
}

} // namespace board_trace
