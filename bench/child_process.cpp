// SPDX-License-Identifier: MIT
// Starting a program on pipes, writing to it and reaping it (posix_spawn).
#include "child_process.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "measurement.h"

extern char** environ;

namespace bench
{

namespace
{

constexpr std::array<std::string_view, 2> sim_variables{"GET_PIN_SIM_LEVELS=",
                                                        "GET_PIN_SIM_TRACE="};

// This environment without the simulated board's variables, plus `extra`.
[[nodiscard]] std::vector<std::string> child_environment(const std::vector<std::string>& extra)
{
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view variable = *entry;
        if (std::ranges::none_of(
                sim_variables, [&](std::string_view name) { return variable.starts_with(name); })) {
            variables.emplace_back(variable);
        }
    }
    variables.insert(variables.end(), extra.begin(), extra.end());
    return variables;
}

} // namespace

std::optional<std::string> on_path(std::string_view program)
{
    const char* path = std::getenv("PATH");
    std::istringstream directories(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string directory; std::getline(directories, directory, ':');) {
        std::string candidate = directory + "/" + std::string(program);
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (std::string& text : strings) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

child start(std::vector<std::string> arguments, const std::vector<std::string>& extra_environment)
{
    std::array<int, 2> input{};
    std::array<int, 2> output{};
    if (pipe2(input.data(), O_CLOEXEC) != 0 || pipe2(output.data(), O_CLOEXEC) != 0) {
        die("pipe");
    }
    posix_spawn_file_actions_t actions{};
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawnattr_t attributes{};
    posix_spawnattr_init(&attributes);
    sigset_t default_signals{};
    sigemptyset(&default_signals);
    sigaddset(&default_signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &default_signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> environment = child_environment(extra_environment);
    std::vector<char*> argv = pointers(arguments);
    std::vector<char*> envp = pointers(environment);
    child started{};
    const int error =
        posix_spawn(&started.pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(input[0]);
    close(output[1]);
    if (error != 0) {
        errno = error;
        die("start " + arguments[0]);
    }
    started.to_child = input[1];
    started.from_child = output[0];
    return started;
}

bool write_all(int descriptor, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t count = write(descriptor, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

void close_input(child& running)
{
    if (running.to_child >= 0) {
        close(running.to_child);
        running.to_child = -1;
    }
}

bool finish(child& running)
{
    close_input(running);
    std::array<char, 4096> discard{};
    while (read(running.from_child, discard.data(), discard.size()) > 0) {
    }
    close(running.from_child);
    int status = 0;
    while (waitpid(running.pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace bench
