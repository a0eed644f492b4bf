// SPDX-License-Identifier: MIT
// The kernel GPIO character-device board: uAPI v2 of linux/gpio.h (kernel 5.10
// and later), used directly because it is a stable ABI and the libraries over
// it are not.
//
// Set-up finds the chip that carries the 40-pin header by its label (its
// number has changed between kernel versions), unless the build names the
// device with -DGET_PIN_GPIO_CHIP=/dev/gpiochipN. Each header pin's line is
// requested as an input with no bias, edge or debounce flags, so the board's
// own pulls stay as they are, and kept until the process ends. The user needs
// read-write access to the chip's device node, usually through its group.
// A line that a kernel function holds through the pin controller is refused
// rather than taken from it, and one whose function starts while get_pin runs
// ends it with a word, at set-up, at a read or at the end (line_holder.h).
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "board/board.h"
#include "board/header.h"
#include "board/line_holder.h"
#include "chardev_chip.h"
#include "die.h"

namespace board
{

const std::string_view built_for = "the kernel's GPIO character device";

namespace
{

constexpr int not_requested = -1;

// Labels of the pin controllers that carry the header: boards with 54 lines,
// 58 lines (bcm2711) and the RP1 south bridge (54 lines).
constexpr std::array<std::string_view, 3> header_chip_labels{"pinctrl-bcm2835", "pinctrl-bcm2711",
                                                             "pinctrl-rp1"};

using by_position = std::array<int, header_size + 1>;

constexpr by_position no_requests()
{
    by_position requests{};
    requests.fill(not_requested);
    return requests;
}

std::string chip_path;
int chip_descriptor = -1;
std::uint32_t chip_line_count = 0;
by_position line_requests = no_requests();
constexpr std::string_view sys_root = "/sys";
// The kernel functions that may hold the chip's lines, found once at set-up.
line_holders holders;

[[nodiscard]] bool is_header_position(int header_position)
{
    return header_position >= 1 && header_position <= header_size;
}

// "header pin 18 (line 24 of /dev/gpiochip0)"
[[nodiscard]] std::string describe_line(int header_position, int offset)
{
    return "header pin " + std::to_string(header_position) + " (line " + std::to_string(offset) +
           " of " + chip_path + ")";
}

[[noreturn]] void die_open(const std::string& path, int error)
{
    if (error == EACCES) {
        fail::die("open " + path, std::string{std::strerror(error)} +
                                      ": the user needs read-write access to " + path +
                                      ", usually through its group");
    }
    // The file's mode allows it, the device cgroup of a container does not.
    if (error == EPERM) {
        fail::die("open " + path, std::string{std::strerror(error)} +
                                      ": a rule above the file's mode forbids the device here, "
                                      "as in a container that was not given it; pass " +
                                      path + " into the container");
    }
    fail::die_errno("open " + path, error);
}

// Fills INFO from the chip; false with errno set when the chip cannot tell
// (a device node that is no GPIO chip, or a chip going away).
[[nodiscard]] bool read_chip_info(int descriptor, gpiochip_info& info)
{
    std::memset(&info, 0, sizeof info);
    return ioctl(descriptor, GPIO_GET_CHIPINFO_IOCTL, &info) == 0;
}

[[noreturn]] void die_chip_info(const std::string& path, int error)
{
    fail::die_errno("read chip information of " + path, error);
}

[[nodiscard]] bool is_header_chip(const gpiochip_info& info)
{
    const std::string_view label{info.label, strnlen(info.label, sizeof info.label)};
    return std::ranges::find(header_chip_labels, label) != header_chip_labels.end();
}

void use_chip(int descriptor, const std::string& path, const gpiochip_info& info)
{
    chip_descriptor = descriptor;
    chip_path = path;
    chip_line_count = info.lines;
    struct stat status = {};
    if (fstat(descriptor, &status) == 0 && S_ISCHR(status.st_mode)) {
        const std::string unreadable =
            find_line_holders(holders, std::string{sys_root}, status.st_rdev,
                              std::string{info.label, strnlen(info.label, sizeof info.label)});
        if (!unreadable.empty()) {
            fail::die("find the kernel functions that hold lines of " + path, unreadable);
        }
    }
}

void open_configured_chip()
{
    const std::string path{configured_chip};
    const int descriptor = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (descriptor < 0) {
        die_open(path, errno);
    }
    gpiochip_info info{};
    if (!read_chip_info(descriptor, info)) {
        die_chip_info(path, errno);
    }
    use_chip(descriptor, path, info);
}

int is_chip_entry(const dirent* entry)
{
    return std::string_view{entry->d_name}.starts_with("gpiochip") ? 1 : 0;
}

[[noreturn]] void die_no_header_chip()
{
    std::string labels;
    for (const std::string_view label : header_chip_labels) {
        labels += labels.empty() ? "" : " ";
        labels += label;
    }
    fail::die("find the GPIO chip of the 40-pin header",
              "no /dev/gpiochip* has one of the labels " + labels +
                  "; for another board, build with -DGET_PIN_GPIO_CHIP=/dev/gpiochipN");
}

// The first chip of the scan that could not be opened or read: it might be the
// header chip, so its error is the report when no header chip is found.
struct scan_failure {
    std::string path;
    int error = 0;
    bool opened = false;
};

void remember(scan_failure& failure, const std::string& path, int error, bool opened)
{
    if (failure.error == 0) {
        failure = {.path = path, .error = error, .opened = opened};
    }
}

// Opens one chip of the scan and keeps it if it is the header chip. A chip that
// cannot be opened, or opens but cannot say what it is (a stale node, an
// expander being unplugged), is skipped and remembered.
[[nodiscard]] bool try_chip(const std::string& path, scan_failure& failure)
{
    const int descriptor = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (descriptor < 0) {
        remember(failure, path, errno, false);
        return false;
    }
    gpiochip_info info{};
    if (!read_chip_info(descriptor, info)) {
        remember(failure, path, errno, true);
        close(descriptor);
        return false;
    }
    if (!is_header_chip(info)) {
        close(descriptor);
        return false;
    }
    use_chip(descriptor, path, info);
    return true;
}

// Scans /dev/gpiochip* in number order; the first chip with a header label wins.
void find_header_chip()
{
    dirent** entries = nullptr;
    const int count = scandir("/dev", &entries, is_chip_entry, versionsort);
    if (count < 0) {
        fail::die_errno("scan /dev for GPIO chips", errno);
    }
    scan_failure failure;
    bool found = false;
    for (int index = 0; index < count; ++index) {
        const std::string path = std::string{"/dev/"} + entries[index]->d_name;
        found = found || try_chip(path, failure);
        std::free(entries[index]);
    }
    std::free(static_cast<void*>(entries));
    if (!found && failure.error != 0) {
        if (failure.opened) {
            die_chip_info(failure.path, failure.error);
        }
        die_open(failure.path, failure.error);
    }
    if (!found) {
        die_no_header_chip();
    }
}

// Who holds a line, for the message when it is busy.
[[nodiscard]] std::string line_consumer(int offset)
{
    gpio_v2_line_info info{};
    std::memset(&info, 0, sizeof info);
    info.offset = static_cast<std::uint32_t>(offset);
    if (ioctl(chip_descriptor, GPIO_V2_GET_LINEINFO_IOCTL, &info) < 0 || info.consumer[0] == '\0') {
        return "";
    }
    return std::string{" (consumer \""} +
           std::string{info.consumer, strnlen(info.consumer, sizeof info.consumer)} + "\")";
}

// Whether the kernel knows the GPIO character device v2 (Linux 5.10 and
// later): an older one answers its line-information call, as every call it
// does not know, with EINVAL.
[[nodiscard]] bool kernel_has_v2(int offset)
{
    gpio_v2_line_info info{};
    std::memset(&info, 0, sizeof info);
    info.offset = static_cast<std::uint32_t>(offset);
    return ioctl(chip_descriptor, GPIO_V2_GET_LINEINFO_IOCTL, &info) == 0 || errno != EINVAL;
}

[[noreturn]] void die_request(int header_position, int offset, int error)
{
    const std::string what = "request " + describe_line(header_position, offset);
    if (error == EBUSY) {
        fail::die(what, std::string{std::strerror(error)} +
                            ": the line is in use by another program" + line_consumer(offset));
    }
    if (error == EINVAL && !kernel_has_v2(offset)) {
        fail::die(what, std::string{std::strerror(error)} +
                            ": the kernel is older than Linux 5.10 and has no GPIO character "
                            "device v2; update it to 5.10 or later (Debian 11 and Raspberry Pi "
                            "OS bullseye and later ship one)");
    }
    fail::die_errno(what, error);
}

// Requests one line as an input; the kernel keeps it until the process ends.
[[nodiscard]] int request_input(int header_position, int offset)
{
    const std::string what = "request " + describe_line(header_position, offset);
    if (const std::string held = refuse_request(holders, offset); !held.empty()) {
        fail::die(what, held);
    }
    gpio_v2_line_request request{};
    std::memset(&request, 0, sizeof request);
    request.offsets[0] = static_cast<std::uint32_t>(offset);
    request.num_lines = 1;
    request.config.flags = GPIO_V2_LINE_FLAG_INPUT;
    constexpr std::string_view consumer = "get_pin";
    std::ranges::copy(consumer, request.consumer);
    if (ioctl(chip_descriptor, GPIO_V2_GET_LINE_IOCTL, &request) < 0) {
        die_request(header_position, offset, errno);
    }
    // A driver that started since the holders were found has just had its pin
    // taken.
    if (const std::string taken = watch_line(holders, std::string{sys_root}, offset);
        !taken.empty()) {
        fail::die(what, taken);
    }
    return request.fd;
}

} // namespace

int wiringPiSetupPhys()
{
    if (configured_chip.empty()) {
        find_header_chip();
    } else {
        open_configured_chip();
    }
    return 0;
}

void pinMode(int header_position, int mode)
{
    const int offset = line_of_position(header_position);
    const std::string what = "set up header pin " + std::to_string(header_position);
    if (offset == no_line) {
        fail::die(what, "no GPIO line at this header position (power, ground or outside 1-40)");
    }
    if (mode != input_mode) {
        fail::die(what + " as mode " + std::to_string(mode),
                  "only input (mode 0) exists; the board never drives a pin");
    }
    if (chip_descriptor < 0) {
        fail::die(what, "the GPIO chip is not set up");
    }
    if (static_cast<std::uint32_t>(offset) >= chip_line_count) {
        fail::die("set up " + describe_line(header_position, offset),
                  "the chip has only " + std::to_string(chip_line_count) + " lines");
    }
    int& request = line_requests.at(static_cast<std::size_t>(header_position));
    if (request == not_requested) {
        request = request_input(header_position, offset);
    }
}

int digitalRead(int header_position)
{
    const int request = is_header_position(header_position)
                            ? line_requests.at(static_cast<std::size_t>(header_position))
                            : not_requested;
    if (request == not_requested) {
        fail::die("read header pin " + std::to_string(header_position), "not set up as an input");
    }
    gpio_v2_line_values values{};
    std::memset(&values, 0, sizeof values);
    values.mask = 1; // bit 0: the request's only line
    const int offset = line_of_position(header_position);
    if (ioctl(request, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) < 0) {
        fail::die_errno("read " + describe_line(header_position, offset), errno);
    }
    if (const std::string taken = taken_line(holders, offset); !taken.empty()) {
        fail::die("read " + describe_line(header_position, offset), taken);
    }
    return (values.bits & 1U) != 0 ? 1 : 0;
}

void end()
{
    std::string taken;
    const int offset = first_taken_line(holders, taken);
    for (int header_position = 1; offset >= 0 && header_position <= header_size;
         ++header_position) {
        if (line_requests.at(static_cast<std::size_t>(header_position)) != not_requested &&
            line_of_position(header_position) == offset) {
            fail::die("release " + describe_line(header_position, offset), taken);
        }
    }
}

} // namespace board
