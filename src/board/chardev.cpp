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
#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
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
#include <sys/sysmacros.h>
#include <unistd.h>

#include "board/board.h"
#include "board/header.h"
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
    if (error == EACCES || error == EPERM) {
        fail::die("open " + path, std::string{std::strerror(error)} +
                                      ": the user needs read-write access to " + path +
                                      ", usually through its group");
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

// --- Pins that a kernel function holds through the pin controller ----------
// The SoC's pin controller is not strict: a line that it has muxed to a
// function for a bound driver (an I2C bus on pins 3 and 5) is reported unused,
// and requesting it makes the pin an input, taking it from that function. The
// device tree says it where a bound device has one pin state, "default" (the
// driver core applies it at probe): one of the controller's groups that
// state names has the line in brcm,pins with a brcm,function that is neither
// input (0) nor output (1).

constexpr std::uint32_t input_function = 0;
constexpr std::uint32_t output_function = 1;
// The alternate functions by their GPFSEL value, 2 to 7.
constexpr std::array<std::string_view, 8> function_names{"input", "output", "alt5", "alt4",
                                                         "alt0",  "alt1",   "alt2", "alt3"};

// A small file's content, or "" when it cannot be read.
[[nodiscard]] std::string read_small_file(const std::string& path)
{
    std::string content;
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return content;
    }
    std::array<char, 4096> buffer{};
    ssize_t count = 0;
    while ((count = read(descriptor, buffer.data(), buffer.size())) > 0) {
        content.append(buffer.data(), static_cast<std::size_t>(count));
    }
    close(descriptor);
    return content;
}

// Cell INDEX of a device-tree property (big-endian 32-bit cells), or
// UINT32_MAX past its end.
[[nodiscard]] std::uint32_t cell(const std::string& property, std::size_t index)
{
    constexpr std::size_t cell_size = 4;
    if ((index + 1) * cell_size > property.size()) {
        return UINT32_MAX;
    }
    std::uint32_t value = 0;
    for (std::size_t byte = 0; byte < cell_size; ++byte) {
        value =
            (value << CHAR_BIT) | static_cast<unsigned char>(property[index * cell_size + byte]);
    }
    return value;
}

[[nodiscard]] std::size_t cell_count(const std::string& property)
{
    return property.size() / 4;
}

// The canonical path of a file, or "".
[[nodiscard]] std::string canonical(const std::string& path)
{
    char* const resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return "";
    }
    std::string result{resolved};
    std::free(static_cast<void*>(resolved));
    return result;
}

// The device-tree node of the pin controller behind the open chip, or "".
[[nodiscard]] std::string controller_node()
{
    struct stat status = {};
    if (fstat(chip_descriptor, &status) != 0 || !S_ISCHR(status.st_mode)) {
        return "";
    }
    const std::string device = "/sys/dev/char/" + std::to_string(major(status.st_rdev)) + ":" +
                               std::to_string(minor(status.st_rdev));
    const std::string path = canonical(device);
    return path.empty() ? "" : canonical(path.substr(0, path.rfind('/')) + "/of_node");
}

// The phandle and function of a controller group that muxes OFFSET to a
// function other than GPIO, if any.
struct muxing_group {
    std::uint32_t phandle = 0;
    std::uint32_t function = input_function;
};

[[nodiscard]] muxing_group group_muxing(const std::string& group, int offset)
{
    const std::string pins = read_small_file(group + "/brcm,pins");
    const std::string functions = read_small_file(group + "/brcm,function");
    for (std::size_t index = 0; index < cell_count(pins); ++index) {
        if (cell(pins, index) != static_cast<std::uint32_t>(offset)) {
            continue;
        }
        const std::uint32_t function = cell(functions, cell_count(functions) == 1 ? 0 : index);
        if (function != input_function && function != output_function &&
            function < function_names.size()) {
            return {.phandle = cell(read_small_file(group + "/phandle"), 0), .function = function};
        }
    }
    return {};
}

// Whether a bound device's only pin state names the group. The pin
// controller's own state (the board's settings at boot) is no function.
[[nodiscard]] bool holds_group(const std::string& device, std::uint32_t phandle,
                               const std::string& controller)
{
    using namespace std::string_view_literals;
    if (access((device + "/driver").c_str(), F_OK) != 0 ||
        canonical(device + "/of_node") == controller ||
        read_small_file(device + "/of_node/pinctrl-names") != "default\0"sv) {
        return false;
    }
    const std::string state = read_small_file(device + "/of_node/pinctrl-0");
    for (std::size_t index = 0; index < cell_count(state); ++index) {
        if (cell(state, index) == phandle) {
            return true;
        }
    }
    return false;
}

// The first entry of a folder for which TEST, given its path, is true, or "".
template <typename Test> [[nodiscard]] std::string find_entry(const std::string& folder, Test test)
{
    DIR* const directory = opendir(folder.c_str());
    if (directory == nullptr) {
        return "";
    }
    std::string found;
    while (const dirent* const entry = readdir(directory)) {
        const std::string_view name{entry->d_name};
        if (name != "." && name != ".." && test(folder + "/" + std::string{name})) {
            found = name;
            break;
        }
    }
    closedir(directory);
    return found;
}

// Ends get_pin when a bound kernel function holds the line through the pin
// controller, naming the device and the function.
void refuse_muxed_line(int header_position, int offset)
{
    const std::string node = controller_node();
    if (node.empty()) {
        return;
    }
    // Several groups may mux the line (a display's group takes 28 lines): the
    // one that a bound device holds.
    muxing_group muxing;
    std::string device;
    const std::string group = find_entry(node, [&](const std::string& path) {
        muxing = group_muxing(path, offset);
        if (muxing.phandle == 0 || muxing.phandle == UINT32_MAX) {
            return false;
        }
        device = find_entry("/sys/bus/platform/devices", [&](const std::string& candidate) {
            return holds_group(candidate, muxing.phandle, node);
        });
        return !device.empty();
    });
    if (group.empty()) {
        return;
    }
    fail::die("request " + describe_line(header_position, offset),
              "the pin is set to " + std::string{function_names.at(muxing.function)} + " for " +
                  device +
                  ", a kernel function that the request would take it from; free the pin "
                  "from that device to read it");
}

// Requests one line as an input; the kernel keeps it until the process ends.
[[nodiscard]] int request_input(int header_position, int offset)
{
    refuse_muxed_line(header_position, offset);
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
    if (ioctl(request, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) < 0) {
        const int offset = line_of_position(header_position);
        fail::die_errno("read " + describe_line(header_position, offset), errno);
    }
    return (values.bits & 1U) != 0 ? 1 : 0;
}

} // namespace board
