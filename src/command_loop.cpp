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

// Waits up to the pass's 5 ms for input and takes in what has come. A whole
// word already in the input buffer is handled without waiting: waiting on the
// descriptor would stall a peer that sent several words at once until it sent
// more.
void take_in_input()
{
    if (input::word_pending()) {
        return;
    }
    pollfd request{.fd = input::descriptor(), .events = POLLIN, .revents = 0};
    // A failed or interrupted wait counts as a pass without input.
    if (poll(&request, 1, readiness_wait_ms) == 1) {
        input::read_available();
    }
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
    take_in_input();
    // White space alone, or the beginning of a word, ends the pass like a pass
    // without input: with its sample.
    const input::word_read read = input::take_word(command);
    if (read.result == input::outcome::read_error) {
        fail::die_errno("read standard input", read.error);
    }
    if (read.result == input::outcome::end_of_input) {
        return pass_end::stop;
    }
    if (read.result == input::outcome::word &&
        handle_word({command.data(), read.length}) == pass_end::stop) {
        return pass_end::stop;
    }
    gpio::sample_pin_18();
    return pass_end::next_pass;
}

} // namespace program
