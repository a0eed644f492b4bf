// SPDX-License-Identifier: MIT
// Reading a running program's figures from /proc/PID/status, io, stat and
// schedstat.
#include "proc_counters.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace bench
{

namespace
{

[[nodiscard]] std::string proc_path(pid_t pid, std::string_view file)
{
    return "/proc/" + std::to_string(pid) + "/" + std::string(file);
}

// The number of a "name: number" line of /proc/PID/`file`; -1 when missing.
[[nodiscard]] long proc_number(pid_t pid, std::string_view file, std::string_view name)
{
    std::ifstream status(proc_path(pid, file));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(name) && line.size() > name.size() && line[name.size()] == ':') {
            return std::strtol(line.c_str() + name.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

} // namespace

long peak_resident_kib(pid_t pid)
{
    return proc_number(pid, "status", "VmHWM");
}

long read_calls(pid_t pid)
{
    return proc_number(pid, "io", "syscr");
}

long write_calls(pid_t pid)
{
    return proc_number(pid, "io", "syscw");
}

double cpu_seconds_stat(pid_t pid)
{
    std::ifstream file(proc_path(pid, "stat"));
    std::stringstream text;
    text << file.rdbuf();
    const std::string stat = text.str();
    // The command name may hold blanks; the fields after it are counted from its ')'.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> field{std::istream_iterator<std::string>(fields), {}};
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    if (field.size() < 13) {
        return 0;
    }
    const double ticks = std::stod(field[11]) + std::stod(field[12]);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double cpu_seconds_schedstat(pid_t pid)
{
    std::ifstream schedstat(proc_path(pid, "schedstat"));
    double run_ns = -1;
    if (!(schedstat >> run_ns)) {
        return -1;
    }
    return run_ns / 1e9;
}

} // namespace bench
