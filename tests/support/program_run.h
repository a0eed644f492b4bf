// SPDX-License-Identifier: MIT
// Running the built get_pin in end-to-end tests: its standard streams are
// pipes (or descriptors a test chooses), and every wait is bounded.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace program_run
{

// Long enough for a sanitizer build under emulation; a test only waits this
// long when it is about to fail.
inline constexpr std::chrono::milliseconds patience{20'000};

// For the options' stdin, stdout and stderr descriptors: the stream is closed.
inline constexpr int closed_stream = -2;

struct options {
    std::vector<std::string> environment{}; // NAME=value, added to the test's own
    int stdin_descriptor = -1;              // -1: a pipe from the test
    int stdout_descriptor = -1;             // -1: a pipe to the test
    int stderr_descriptor = -1;             // -1: a pipe to the test
    bool ignore_sigpipe = false;
    std::vector<std::string> arguments{}; // after the program's name
    bool nonblocking_input = false;       // O_NONBLOCK on the program's end of the test's pipe
    bool nonblocking_output = false;      // the same for its standard output
};

struct running {
    pid_t pid = -1;
    int input = -1;  // the program's standard input, when a pipe
    int output = -1; // its standard output, when a pipe
    int errors = -1; // its standard error
    std::string unread_output;
};

struct ending {
    int status = -1; // exit status, or -1 when ended by a signal
    int signal = 0;  // the signal that ended it
    std::string output;
    std::string errors;
};

[[nodiscard]] running start(const options& settings);
void send(running& program, std::string_view bytes);
void close_input(running& program);
// The next line of standard output with its newline; nothing on timeout or at
// the end of output.
[[nodiscard]] std::optional<std::string> next_line(running& program);
// Closes its input, collects the rest of both output streams and its status.
[[nodiscard]] ending finish(running& program);
// `text` `times` times over: a burst of requests, or the replies to them.
[[nodiscard]] inline std::string repeated(std::string_view text, std::size_t times)
{
    std::string all;
    for (std::size_t time = 0; time < times; ++time) {
        all += text;
    }
    return all;
}
// Starts the program with all of `input` already waiting, followed by the end
// of input, and runs it to its end.
[[nodiscard]] ending run(std::string_view input, options settings = {});

// A folder of the test's own, for levels and trace files, removed with all it
// holds when the test is done with it.
struct temporary_folder {
    std::string path;
    temporary_folder();
    ~temporary_folder();
    temporary_folder(const temporary_folder&) = delete;
    temporary_folder& operator=(const temporary_folder&) = delete;
    temporary_folder(temporary_folder&&) = delete;
    temporary_folder& operator=(temporary_folder&&) = delete;
};
// Replaces a file's contents in one step, as a tool rewriting it would.
void write_file(const std::string& path, std::string_view contents);
[[nodiscard]] std::string read_file(const std::string& path);
// Waits until the file holds `text` at or after byte `from`, woken by changes
// in its folder (inotify); false if it does not within `patience`.
[[nodiscard]] bool wait_for_text(const std::string& path, std::string_view text,
                                 std::size_t from = 0);

} // namespace program_run
