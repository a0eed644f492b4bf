// SPDX-License-Identifier: MIT
// The pass: readiness wait, one word, one sample of the held pin.
#include "command_loop.h"

#include <poll.h>

#include "die.h"
#include "gpio/gpio.h"
#include "reply.h"

namespace program
{

namespace
{

// A word already in the input buffer counts as ready: waiting on the descriptor
// would stall a peer that sent several words at once until it sent more.
[[nodiscard]] bool input_ready()
{
    if (input::word_pending()) {
        return true;
    }
    pollfd request{.fd = input::descriptor(), .events = POLLIN, .revents = 0};
    // A failed or interrupted wait counts as a pass without input.
    return poll(&request, 1, readiness_wait_ms) == 1;
}

} // namespace

pass_end handle_word(std::string_view word)
{
    if (word == "get") {
        reply::print_pins();
    } else if (word == "exit") {
        return pass_end::stop;
    }
    return pass_end::next_pass;
}

pass_end run_pass(input::command_buffer& command)
{
    if (input_ready()) {
        const input::word_read read = input::read_word(command);
        if (read.result == input::outcome::read_error) {
            fail::die_errno("read standard input", read.error);
        }
        if (read.result == input::outcome::end_of_input) {
            return pass_end::stop;
        }
        if (handle_word({command.data(), read.length}) == pass_end::stop) {
            return pass_end::stop;
        }
    }
    gpio::sample_pin_18();
    return pass_end::next_pass;
}

} // namespace program
