// SPDX-License-Identifier: MIT
// Starting get_pin with posix_spawn; under cross builds it runs through the
// emulator CMake names (qemu-arm), as CTest runs the tests themselves.
#include "program_run.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace program_run
{

namespace
{

using clock = std::chrono::steady_clock;

void append_words(std::vector<std::string>& command, const std::string& words)
{
    std::stringstream stream{words};
    for (std::string word; std::getline(stream, word, ' ');) {
        if (!word.empty()) {
            command.push_back(word);
        }
    }
}

// GET_PIN_TEST_WRAPPER, when set, runs the program under a tool such as
// valgrind; the emulator comes from the build (qemu-arm on an ARM1176 for the 32-bit build).
std::vector<std::string> program_command(const std::vector<std::string>& arguments)
{
    std::vector<std::string> command;
    if (const char* wrapper = std::getenv("GET_PIN_TEST_WRAPPER"); wrapper != nullptr) {
        append_words(command, wrapper);
    }
    append_words(command, GET_PIN_EMULATOR);
    command.emplace_back(GET_PIN_PROGRAM);
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

// Strings as posix_spawn wants them: pointers into `strings`, then a null.
std::vector<char*> pointers_to(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

void place_stream(posix_spawn_file_actions_t& actions, int given, int pipe_end, int target)
{
    if (given == closed_stream) {
        posix_spawn_file_actions_addclose(&actions, target);
    } else {
        posix_spawn_file_actions_adddup2(&actions, given >= 0 ? given : pipe_end, target);
    }
}

// posix_spawn rather than fork: a forked child of a dynamically linked armhf
// program crashes under qemu-user 7.2, which runs the cross-built tests.
pid_t spawn(const options& settings, const std::array<int, 2>& to_program,
            const std::array<int, 2>& from_program, const std::array<int, 2>& errors)
{
    std::vector<std::string> command = program_command(settings.arguments);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        environment.emplace_back(*entry);
    }
    environment.insert(environment.end(), settings.environment.begin(), settings.environment.end());
    const std::vector<char*> arguments = pointers_to(command);
    const std::vector<char*> environment_pointers = pointers_to(environment);

    posix_spawn_file_actions_t actions{};
    posix_spawn_file_actions_init(&actions);
    place_stream(actions, settings.stdin_descriptor, to_program[0], STDIN_FILENO);
    place_stream(actions, settings.stdout_descriptor, from_program[1], STDOUT_FILENO);
    place_stream(actions, settings.stderr_descriptor, errors[1], STDERR_FILENO);
    // The child gets SIGPIPE at its default unless asked to ignore it; an
    // ignored signal stays ignored across exec.
    posix_spawnattr_t attributes{};
    posix_spawnattr_init(&attributes);
    sigset_t default_signals{};
    sigemptyset(&default_signals);
    if (!settings.ignore_sigpipe) {
        sigaddset(&default_signals, SIGPIPE);
    }
    posix_spawnattr_setsigdefault(&attributes, &default_signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    // The test itself sees EPIPE, rather than dying, when the program has gone.
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, arguments.front(), &actions, &attributes, arguments.data(),
                                   environment_pointers.data());
    EXPECT_EQ(error, 0) << "starting get_pin: " << std::strerror(error);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::array<int, 2> make_pipe()
{
    std::array<int, 2> ends{};
    EXPECT_EQ(pipe2(ends.data(), O_CLOEXEC), 0);
    return ends;
}

// Reads what `descriptor` has now into `into`; false at its end.
bool read_available(int descriptor, std::string& into)
{
    std::array<char, 65536> bytes{};
    const ssize_t count = read(descriptor, bytes.data(), bytes.size());
    if (count > 0) {
        into.append(bytes.data(), static_cast<std::size_t>(count));
        return true;
    }
    return count < 0 && errno == EINTR;
}

int milliseconds_left(clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Waits for the process to end, killing it at the deadline. A pidfd makes the
// end an event to poll for.
int wait_for_end(pid_t pid, clock::time_point deadline)
{
    const auto process = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (process >= 0) {
        pollfd end{.fd = process, .events = POLLIN, .revents = 0};
        if (poll(&end, 1, milliseconds_left(deadline)) == 0) {
            ADD_FAILURE() << "get_pin did not end in time";
            kill(pid, SIGKILL);
        }
        close(process);
    }
    int wait_status = 0;
    while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
    return wait_status;
}

} // namespace

running start(const options& settings)
{
    const std::array<int, 2> to_program = make_pipe();
    const std::array<int, 2> from_program = make_pipe();
    const std::array<int, 2> errors = make_pipe();
    if (settings.nonblocking_input) {
        EXPECT_EQ(fcntl(to_program[0], F_SETFL, O_NONBLOCK), 0);
    }
    if (settings.nonblocking_output) {
        EXPECT_EQ(fcntl(from_program[1], F_SETFL, O_NONBLOCK), 0);
    }
    running program;
    program.pid = spawn(settings, to_program, from_program, errors);
    close(to_program[0]);
    close(from_program[1]);
    close(errors[1]);
    program.input = to_program[1];
    program.output = from_program[0];
    program.errors = errors[0];
    if (settings.stdin_descriptor != -1) {
        close_input(program);
    }
    return program;
}

void send(running& program, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t count = write(program.input, bytes.data(), bytes.size());
        ASSERT_GT(count, 0) << "writing to get_pin: " << std::strerror(errno);
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
}

void close_input(running& program)
{
    if (program.input >= 0) {
        close(program.input);
        program.input = -1;
    }
}

std::optional<std::string> next_line(running& program)
{
    const clock::time_point deadline = clock::now() + patience;
    for (;;) {
        if (const std::size_t end = program.unread_output.find('\n'); end != std::string::npos) {
            std::string line = program.unread_output.substr(0, end + 1);
            program.unread_output.erase(0, end + 1);
            return line;
        }
        pollfd request{.fd = program.output, .events = POLLIN, .revents = 0};
        if (poll(&request, 1, milliseconds_left(deadline)) <= 0 ||
            !read_available(program.output, program.unread_output)) {
            return std::nullopt;
        }
    }
}

ending finish(running& program)
{
    close_input(program);
    ending result;
    result.output = std::move(program.unread_output);
    const clock::time_point deadline = clock::now() + patience;
    std::array<pollfd, 2> streams{pollfd{.fd = program.output, .events = POLLIN, .revents = 0},
                                  pollfd{.fd = program.errors, .events = POLLIN, .revents = 0}};
    while ((streams[0].fd >= 0 || streams[1].fd >= 0) &&
           poll(streams.data(), streams.size(), milliseconds_left(deadline)) > 0) {
        for (std::size_t which = 0; which < streams.size(); ++which) {
            if (streams.at(which).revents != 0 &&
                !read_available(streams.at(which).fd, which == 0 ? result.output : result.errors)) {
                close(streams.at(which).fd);
                streams.at(which).fd = -1;
            }
        }
    }
    const int wait_status = wait_for_end(program.pid, deadline);
    for (const pollfd& stream : streams) {
        if (stream.fd >= 0) {
            close(stream.fd);
        }
    }
    if (WIFEXITED(wait_status)) {
        result.status = WEXITSTATUS(wait_status);
    } else if (WIFSIGNALED(wait_status)) {
        result.signal = WTERMSIG(wait_status);
    }
    return result;
}

ending run(std::string_view input, options settings)
{
    const std::array<int, 2> waiting_input = make_pipe();
    EXPECT_EQ(write(waiting_input[1], input.data(), input.size()),
              static_cast<ssize_t>(input.size()));
    close(waiting_input[1]);
    if (settings.stdin_descriptor == -1) {
        settings.stdin_descriptor = waiting_input[0];
    }
    running program = start(settings);
    close(waiting_input[0]);
    return finish(program);
}

temporary_folder::temporary_folder()
{
    const char* base = std::getenv("TMPDIR");
    path = std::string{base != nullptr ? base : "/tmp"} + "/get_pin_test.XXXXXX";
    EXPECT_NE(mkdtemp(path.data()), nullptr);
}

temporary_folder::~temporary_folder()
{
    std::error_code error;
    std::filesystem::remove_all(path, error);
    EXPECT_FALSE(error) << "removing " << path << ": " << error.message();
}

void write_file(const std::string& path, std::string_view contents)
{
    const std::string fresh = path + ".new";
    std::ofstream{fresh, std::ios::binary} << contents;
    EXPECT_EQ(std::rename(fresh.c_str(), path.c_str()), 0);
}

std::string read_file(const std::string& path)
{
    std::ifstream file{path, std::ios::binary};
    return {std::istreambuf_iterator<char>{file}, std::istreambuf_iterator<char>{}};
}

bool wait_for_text(const std::string& path, std::string_view text, std::size_t from)
{
    const auto holds_text = [&] {
        const std::string contents = read_file(path);
        return from <= contents.size() && contents.find(text, from) != std::string::npos;
    };
    const int changes = inotify_init1(IN_CLOEXEC);
    EXPECT_GE(changes, 0) << std::strerror(errno);
    const std::string folder = path.substr(0, path.rfind('/'));
    EXPECT_GE(inotify_add_watch(changes, folder.c_str(), IN_CREATE | IN_MODIFY | IN_MOVED_TO), 0);
    const clock::time_point deadline = clock::now() + patience;
    // The file is read after the watch is in place, so that no change goes unseen.
    bool found = holds_text();
    pollfd change{.fd = changes, .events = POLLIN, .revents = 0};
    while (!found && poll(&change, 1, milliseconds_left(deadline)) == 1) {
        std::array<char, 4096> events{};
        static_cast<void>(read(changes, events.data(), events.size()));
        found = holds_text();
    }
    close(changes);
    return found;
}

} // namespace program_run
