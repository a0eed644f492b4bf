// SPDX-License-Identifier: MIT
// Ending the program on a failure a user can meet: one line on stderr,
// "get_pin: what failed: why", and exit status 1; or, for a wrong command line,
// one line of its own and exit status 2. Nothing else is ever written to stderr.
#pragma once

#include <initializer_list>
#include <string_view>

namespace fail
{

inline constexpr int failure_status = 1;
inline constexpr int usage_status = 2;

// `what` names the failing step ("read standard input"), `why` says why.
[[noreturn]] void die(std::string_view what, std::string_view why);

// As die(), with the strerror() text of `error_number` as the reason.
[[noreturn]] void die_errno(std::string_view what, int error_number);

// A wrong command line: "get_pin: " and the parts of `message`, one line, and
// exit status 2.
[[noreturn]] void die_usage(std::initializer_list<std::string_view> message);

} // namespace fail
