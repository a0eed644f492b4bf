// SPDX-License-Identifier: MIT
// get_pin: reports the levels of six GPIO header pins on request.
//
// Write "get" on standard input and get one line back:
//   {3: 1, 7: 0, 27: 0, 32: 1, 36: 0, 18: 0, }
// Pins 3, 7, 27, 32 and 36 are read at the request; pin 18 is sampled about
// every 5 ms and reported high if any of its last eight samples was high, so
// short pulses are not missed. "exit" or the end of input ends with status 0,
// or 1 when a kernel function started on one of the pins meanwhile.
//
//   $ build/host/get_pin
//   get
//   {3: 1, 7: 1, 27: 1, 32: 0, 36: 0, 18: 0, }
//   exit
// It takes no arguments; --help prints a usage and --version the version.
#include <cstddef>
#include <sys/prctl.h>

#include "arguments.h"
#include "command_input.h"
#include "command_loop.h"
#include "gpio/gpio.h"
#include "standard_streams.h"

int main(int argc, char** argv)
{
    // Before anything is opened: options and a wrong argument need no
    // standard input and touch no GPIO. A closed standard output fails them
    // as it fails a reply.
    arguments::handle({argv, static_cast<std::size_t>(argc)});
    // Before anything is opened, so that nothing lands on a closed standard
    // descriptor.
    standard_streams::check_open();
    gpio::setup();
    // The kernel stretches each 5 ms readiness wait by the timer slack, 50 us by
    // default, so pin 18 would be sampled ~2 % less often than the wait says.
    // A slack of 1 ns leaves only the wake-up latency. Failing costs nothing.
    static_cast<void>(prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL));
    input::command_buffer command{};
    while (program::run_pass(command) == program::pass_end::next_pass) {
    }
    gpio::end();
    return 0;
}
