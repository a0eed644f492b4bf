// SPDX-License-Identifier: MIT
// Standard descriptors closed at start: refused, or for stderr, filled.
#include "standard_streams.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>

#include "die.h"

namespace standard_streams
{

namespace
{

[[nodiscard]] bool is_open(int descriptor)
{
    return fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF;
}

// Puts /dev/null on standard error. Should even that fail, no message can be
// seen, and carrying on would let a file take descriptor 2: end at once.
void fill_standard_error()
{
    // Opened as a standard descriptor is, without close-on-exec.
    const int null_device = open("/dev/null", O_WRONLY);
    if (null_device < 0 ||
        (null_device != STDERR_FILENO && dup2(null_device, STDERR_FILENO) != STDERR_FILENO)) {
        std::exit(fail::failure_status);
    }
    if (null_device != STDERR_FILENO) {
        close(null_device);
    }
}

void refuse_closed(int descriptor, std::string_view name)
{
    if (!is_open(descriptor)) {
        fail::die(name,
                  std::string{std::strerror(EBADF)} + " (it was closed when get_pin started)");
    }
}

} // namespace

void check_open()
{
    // Standard error first, so that the refusals below have somewhere to go
    // and /dev/null cannot land on descriptor 0 or 1 and hide them closed.
    if (!is_open(STDERR_FILENO)) {
        fill_standard_error();
    }
    refuse_closed(STDIN_FILENO, "standard input");
    refuse_closed(STDOUT_FILENO, "standard output");
}

} // namespace standard_streams
