// SPDX-License-Identifier: MIT
// Starting a program with its standard input and output on pipes, talking to
// it and ending it: get_pin, cat, or strace running get_pin. Every program
// starts with this tool's environment minus the simulated board's variables,
// plus what the measurement names, so that each figure states which board
// set-up it runs with.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace bench
{

// The request every measurement sends.
inline constexpr std::string_view get_request = "get\n";

struct child {
    pid_t pid = -1;
    int to_child = -1;   // its standard input
    int from_child = -1; // its standard output
};

// The first executable `program` in the directories of PATH (/usr/bin:/bin
// when unset).
[[nodiscard]] std::optional<std::string> on_path(std::string_view program);

// Pointers to `strings` and a null pointer after them, as argv and envp are.
[[nodiscard]] std::vector<char*> pointers(std::vector<std::string>& strings);

// Starts `arguments` with its standard input and output on fresh pipes. The
// child gets SIGPIPE at its default even though this tool ignores it. A program
// that cannot be started ends the tool.
[[nodiscard]] child start(std::vector<std::string> arguments,
                          const std::vector<std::string>& extra_environment = {});

// False when the peer stopped reading.
[[nodiscard]] bool write_all(int descriptor, std::string_view bytes);

// Closes the child's standard input: it reads the end of its input.
void close_input(child& running);

// Closes the child's input, drains its output and reaps it; true when it ended
// with status 0.
[[nodiscard]] bool finish(child& running);

} // namespace bench
