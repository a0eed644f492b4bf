// SPDX-License-Identifier: MIT
// Ending the program on a failure a user can meet: one line on stderr,
// "get_pin: what failed: why", and exit status 1. Nothing else is ever written
// to stderr.
#pragma once

#include <string_view>

namespace fail
{

inline constexpr int failure_status = 1;

// `what` names the failing step ("read standard input"), `why` says why.
[[noreturn]] void die(std::string_view what, std::string_view why);

// As die(), with the strerror() text of `error_number` as the reason.
[[noreturn]] void die_errno(std::string_view what, int error_number);

} // namespace fail
