// SPDX-License-Identifier: MIT
// Who holds a line of a GPIO chip through its pin controller, read from the
// device tree and the devices in sysfs, once for the chip.
//
// The chip's device has the controller as its parent, whose of_node is the
// controller's node. The nodes beneath it with a phandle are groups that a
// device's pin state can name, in the controllers' legacy form (brcm,pins
// with one brcm,function or one per pin) or in the generic one (pins
// "gpioN", or groups by name, with a function string), in the group itself
// or in its sub-nodes. Devices are taken from every bus in /sys/bus: the
// platform bus has the SoC's I2C buses, the amba bus its extra UARTs. Nodes
// are compared by device and inode, which costs one stat each, not the walk
// of every link in a path.
#include "board/line_holder.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <map>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace board
{

namespace
{

using namespace std::string_view_literals;

// The legacy form's function numbers, by their GPFSEL value: 0 and 1 are the
// line's GPIO function.
constexpr std::array<std::string_view, 8> legacy_functions{"gpio_in", "gpio_out", "alt5", "alt4",
                                                           "alt0",    "alt1",     "alt2", "alt3"};
// The generic form's names of the GPIO function (bcm2835 and bcm2711; rp1).
constexpr std::array<std::string_view, 3> gpio_functions{"gpio_in", "gpio_out", "gpio"};

// The header's lines are 0 to 27; a group's lines as a mask of those.
constexpr int header_line_count = 28;

constexpr std::uint32_t header_lines_of(std::initializer_list<int> lines)
{
    std::uint32_t mask = 0;
    for (const int line : lines) {
        mask |= line < header_line_count ? std::uint32_t{1} << line : 0U;
    }
    return mask;
}

struct named_group {
    std::string_view name;
    std::uint32_t lines;
};

// RP1's groups with lines on the header, from its driver's table
// (drivers/pinctrl/pinctrl-rp1.c, rp1_gpio_groups, Linux 7.2). The tree names
// them in `groups`; bcm2835 and bcm2711 have only one group per line, "gpioN",
// as RP1 has too.
constexpr std::array<named_group, 42> rp1_groups{{
    {.name = "uart0", .lines = header_lines_of({14, 15})},
    {.name = "uart0_ctrl", .lines = header_lines_of({4, 5, 6, 7, 16, 17})},
    {.name = "uart1", .lines = header_lines_of({0, 1})},
    {.name = "uart1_ctrl", .lines = header_lines_of({2, 3})},
    {.name = "uart2", .lines = header_lines_of({4, 5})},
    {.name = "uart2_ctrl", .lines = header_lines_of({6, 7})},
    {.name = "uart3", .lines = header_lines_of({8, 9})},
    {.name = "uart3_ctrl", .lines = header_lines_of({10, 11})},
    {.name = "uart4", .lines = header_lines_of({12, 13})},
    {.name = "uart4_ctrl", .lines = header_lines_of({14, 15})},
    {.name = "sd0", .lines = header_lines_of({22, 23, 24, 25, 26, 27})},
    {.name = "i2s0", .lines = header_lines_of({18, 19, 20, 21})},
    {.name = "i2s0_dual", .lines = header_lines_of({18, 19, 20, 21, 22, 23})},
    {.name = "i2s0_quad", .lines = header_lines_of({18, 19, 20, 21, 22, 23, 24, 25, 26, 27})},
    {.name = "i2s1", .lines = header_lines_of({18, 19, 20, 21})},
    {.name = "i2s1_dual", .lines = header_lines_of({18, 19, 20, 21, 22, 23})},
    {.name = "i2s1_quad", .lines = header_lines_of({18, 19, 20, 21, 22, 23, 24, 25, 26, 27})},
    {.name = "i2c0_0", .lines = header_lines_of({0, 1})},
    {.name = "i2c0_1", .lines = header_lines_of({8, 9})},
    {.name = "i2c1_0", .lines = header_lines_of({2, 3})},
    {.name = "i2c1_1", .lines = header_lines_of({10, 11})},
    {.name = "i2c2_0", .lines = header_lines_of({4, 5})},
    {.name = "i2c2_1", .lines = header_lines_of({12, 13})},
    {.name = "i2c3_0", .lines = header_lines_of({6, 7})},
    {.name = "i2c3_1", .lines = header_lines_of({14, 15})},
    {.name = "i2c3_2", .lines = header_lines_of({22, 23})},
    {.name = "dpi_16bit", .lines = header_lines_of({0,  1,  2,  3,  4,  5,  6,  7,  8,  9,
                                                    10, 11, 12, 13, 14, 15, 16, 17, 18, 19})},
    {.name = "dpi_16bit_cpadhi",
     .lines =
         header_lines_of({0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 13, 14, 15, 16, 17, 20, 21, 22, 23, 24})},
    {.name = "dpi_16bit_pad666",
     .lines =
         header_lines_of({0, 1, 2, 3, 5, 6, 7, 8, 9, 12, 13, 14, 15, 16, 17, 21, 22, 23, 24, 25})},
    {.name = "dpi_18bit", .lines = header_lines_of({0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                                    11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21})},
    {.name = "dpi_18bit_cpadhi",
     .lines = header_lines_of(
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 13, 14, 15, 16, 17, 20, 21, 22, 23, 24, 25})},
    {.name = "dpi_24bit",
     .lines = header_lines_of({0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13,
                               14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27})},
    {.name = "spi0", .lines = header_lines_of({9, 10, 11})},
    {.name = "spi0_quad", .lines = header_lines_of({0, 1, 9, 10, 11})},
    {.name = "spi1", .lines = header_lines_of({19, 20, 21})},
    {.name = "spi2", .lines = header_lines_of({1, 2, 3})},
    {.name = "spi3", .lines = header_lines_of({5, 6, 7})},
    {.name = "spi4", .lines = header_lines_of({9, 10, 11})},
    {.name = "spi5", .lines = header_lines_of({13, 14, 15})},
    {.name = "aaud_0", .lines = header_lines_of({12, 13})},
    {.name = "mic_0", .lines = header_lines_of({25, 26, 27})},
    {.name = "ir", .lines = header_lines_of({2, 3})},
}};

// A line that a group sets to a function.
struct muxing {
    int line;
    std::string function;
};

// The groups of the controller by phandle, with what they set that is no GPIO
// function.
using groups_by_phandle = std::map<std::uint32_t, std::vector<muxing>>;

// FOLDER/NAME.
[[nodiscard]] std::string path_in(const std::string& folder, std::string_view name)
{
    std::string path = folder;
    path += '/';
    path += name;
    return path;
}

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

[[nodiscard]] bool exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

// The entries of a folder, in name order; with FOLDERS_ONLY, only its folders
// (a device-tree node's sub-nodes, not its properties).
[[nodiscard]] std::vector<std::string> entries_of(const std::string& folder, bool folders_only)
{
    std::vector<std::string> names;
    DIR* const directory = opendir(folder.c_str());
    if (directory == nullptr) {
        return names;
    }
    while (const dirent* const entry = readdir(directory)) {
        const std::string_view name{entry->d_name};
        if (name != "." && name != ".." && (!folders_only || entry->d_type == DT_DIR)) {
            names.emplace_back(name);
        }
    }
    closedir(directory);
    std::ranges::sort(names);
    return names;
}

// A property's big-endian 32-bit cells.
[[nodiscard]] std::vector<std::uint32_t> cells_of(const std::string& property)
{
    constexpr std::size_t cell_size = 4;
    std::vector<std::uint32_t> cells;
    for (std::size_t start = 0; start + cell_size <= property.size(); start += cell_size) {
        std::uint32_t value = 0;
        for (std::size_t byte = 0; byte < cell_size; ++byte) {
            value = (value << CHAR_BIT) | static_cast<unsigned char>(property[start + byte]);
        }
        cells.push_back(value);
    }
    return cells;
}

// A property's strings, each ended by a zero byte.
[[nodiscard]] std::vector<std::string> strings_of(const std::string& property)
{
    std::vector<std::string> strings;
    std::size_t start = 0;
    while (start < property.size()) {
        const std::size_t end = std::min(property.find('\0', start), property.size());
        strings.push_back(property.substr(start, end - start));
        start = end + 1;
    }
    return strings;
}

// A node is there unless its status says otherwise ("okay" and "ok" are there).
[[nodiscard]] bool is_available(const std::string& node)
{
    const std::string status = read_small_file(node + "/status");
    return status.empty() || status == "okay\0"sv || status == "ok\0"sv;
}

[[nodiscard]] bool is_gpio_function(std::string_view function)
{
    return std::ranges::find(gpio_functions, function) != gpio_functions.end();
}

// The line of a pin or one-line group, "gpioN", or -1.
[[nodiscard]] int line_of_pin(std::string_view name)
{
    constexpr std::string_view prefix = "gpio";
    if (!name.starts_with(prefix) || name.size() == prefix.size() ||
        name.size() > prefix.size() + 2) {
        return -1;
    }
    int line = 0;
    for (const char digit : name.substr(prefix.size())) {
        if (digit < '0' || digit > '9') {
            return -1;
        }
        line = line * 10 + (digit - '0');
    }
    return line;
}

// The header lines of a group named in `groups`: RP1's by its driver's table,
// any controller's "gpioN".
[[nodiscard]] std::vector<int> lines_of_group(std::string_view name, bool is_rp1)
{
    const int line = line_of_pin(name);
    if (line >= 0) {
        return {line};
    }
    std::vector<int> lines;
    const auto* const group = std::ranges::find(rp1_groups, name, &named_group::name);
    for (int header_line = 0;
         is_rp1 && group != rp1_groups.end() && header_line < header_line_count; ++header_line) {
        if ((group->lines & (std::uint32_t{1} << header_line)) != 0) {
            lines.push_back(header_line);
        }
    }
    return lines;
}

// What one node sets, in either form.
void add_node_muxings(const std::string& node, bool is_rp1, std::vector<muxing>& muxings)
{
    const std::vector<std::string> functions = strings_of(read_small_file(node + "/function"));
    const std::string function = functions.empty() ? "" : functions.front();
    const auto add = [&muxings](int line, std::string_view name) {
        if (line >= 0 && !name.empty() && !is_gpio_function(name)) {
            muxings.push_back({.line = line, .function = std::string{name}});
        }
    };
    // Legacy: brcm,pins, with one brcm,function for all or one per pin (or,
    // on rp1, a function string).
    const std::vector<std::uint32_t> pins = cells_of(read_small_file(node + "/brcm,pins"));
    const std::vector<std::uint32_t> numbers = cells_of(read_small_file(node + "/brcm,function"));
    for (std::size_t index = 0; index < pins.size(); ++index) {
        const int line = pins[index] < INT_MAX ? static_cast<int>(pins[index]) : -1;
        if (numbers.empty()) {
            add(line, function);
            continue;
        }
        const std::uint32_t number = numbers.size() == 1      ? numbers.front()
                                     : index < numbers.size() ? numbers[index]
                                                              : UINT32_MAX;
        add(line, number < legacy_functions.size() ? legacy_functions.at(number) : "");
    }
    // Generic: pins, or else groups, with a function string.
    const std::vector<std::string> pin_names = strings_of(read_small_file(node + "/pins"));
    for (const std::string& pin : pin_names) {
        add(line_of_pin(pin), function);
    }
    if (pin_names.empty()) {
        for (const std::string& group : strings_of(read_small_file(node + "/groups"))) {
            for (const int line : lines_of_group(group, is_rp1)) {
                add(line, function);
            }
        }
    }
}

[[nodiscard]] std::uint32_t phandle_of(const std::string& node)
{
    const std::vector<std::uint32_t> phandle = cells_of(read_small_file(node + "/phandle"));
    return phandle.empty() ? 0 : phandle.front();
}

// Indexes the nodes under NODE that a state can name, by phandle, with what
// each sets: the node itself and its available sub-nodes, as the kernel maps
// a state's node. A state may name a sub-node of a group as well: the kernel
// finds the controller from any node beneath it.
void add_groups(const std::string& node, bool is_rp1, groups_by_phandle& groups)
{
    for (const std::string& name : entries_of(node, true)) {
        const std::string group = path_in(node, name);
        if (const std::uint32_t phandle = phandle_of(group); phandle != 0) {
            std::vector<muxing>& muxings = groups[phandle];
            add_node_muxings(group, is_rp1, muxings);
            for (const std::string& child : entries_of(group, true)) {
                if (is_available(path_in(group, child))) {
                    add_node_muxings(path_in(group, child), is_rp1, muxings);
                }
            }
        }
        add_groups(group, is_rp1, groups);
    }
}

// The phandles of the states that a device may be in: those the driver core
// applies, init during its driver's start and default after it, wherever they
// stand in pinctrl-names; with neither, every named state, any of which the
// driver may select at any moment (a multiplexer). A state without a name is
// one that no one selects.
[[nodiscard]] std::vector<std::uint32_t> state_groups(const std::string& node)
{
    const std::vector<std::string> names = strings_of(read_small_file(node + "/pinctrl-names"));
    const auto is_applied = [](std::string_view name) {
        return name == "default" || name == "init";
    };
    const bool has_applied = std::ranges::any_of(names, is_applied);
    std::vector<std::uint32_t> phandles;
    for (std::size_t state = 0; state < names.size(); ++state) {
        if (!has_applied || is_applied(names[state])) {
            const std::vector<std::uint32_t> state_phandles =
                cells_of(read_small_file(path_in(node, "pinctrl-" + std::to_string(state))));
            phandles.insert(phandles.end(), state_phandles.begin(), state_phandles.end());
        }
    }
    return phandles;
}

[[nodiscard]] bool same_file(const struct stat& one, const struct stat& other)
{
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// The holders among one device's states.
void add_device_holders(const std::string& bus, const std::string& name,
                        const std::string& device_path, const struct stat& controller,
                        const groups_by_phandle& groups, std::vector<line_holder>& holders)
{
    const std::string node = device_path + "/of_node";
    struct stat node_status = {};
    // Most devices have no pin state, which one lookup tells. The
    // controller's own state is the board's setting at boot, no function.
    if (!exists(node + "/pinctrl-0") || stat(node.c_str(), &node_status) != 0 ||
        same_file(node_status, controller) || !is_available(node)) {
        return;
    }
    const bool bound = exists(device_path + "/driver");
    for (const std::uint32_t phandle : state_groups(node)) {
        const auto group = groups.find(phandle);
        if (group == groups.end()) {
            continue;
        }
        for (const muxing& set : group->second) {
            const bool known = std::ranges::any_of(holders, [&](const line_holder& holder) {
                return holder.line == set.line && holder.device == name && holder.bus == bus;
            });
            if (!known) {
                holders.push_back({.line = set.line,
                                   .bus = bus,
                                   .device = name,
                                   .function = set.function,
                                   .bound = bound});
            }
        }
    }
}

// Whether a watched holder's driver has started: its driver link, looked up by
// the device's name in its bus's folder, which finds a device made again too.
[[nodiscard]] bool has_started(const line_holders& found, const holder_watch& watch)
{
    struct stat link = {};
    const std::string& device = found.holders.at(watch.holder).device;
    std::array<char, PATH_MAX> path{};
    const std::string_view driver = "/driver";
    if (device.size() + driver.size() >= path.size()) {
        return false;
    }
    std::ranges::copy(driver, std::ranges::copy(device, path.begin()).out);
    return fstatat(found.bus_folders.at(watch.bus_folder), path.data(), &link,
                   AT_SYMLINK_NOFOLLOW) == 0;
}

[[nodiscard]] std::string started_reason(const line_holder& holder)
{
    return "the pin is set to " + holder.function + " for " + holder.device +
           ", a kernel function whose driver started after get_pin; the pin goes back to GPIO "
           "input as get_pin releases it, cutting the function off: unbind " +
           holder.device + " from its driver and bind it again";
}

// The folder of a bus's devices, opened once.
[[nodiscard]] std::size_t bus_folder(line_holders& found, const std::string& sys_root,
                                     const std::string& bus)
{
    const auto known = std::ranges::find(found.bus_names, bus);
    if (known != found.bus_names.end()) {
        return static_cast<std::size_t>(known - found.bus_names.begin());
    }
    found.bus_names.push_back(bus);
    found.bus_folders.push_back(
        open((sys_root + "/bus/" + bus + "/devices").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return found.bus_folders.size() - 1;
}

} // namespace

std::string find_line_holders(line_holders& found, const std::string& sys_root, dev_t chip,
                              const std::string& label)
{
    found.holders.clear();
    // The chip's device has the controller's device as its parent.
    const std::string controller = sys_root + "/dev/char/" + std::to_string(major(chip)) + ":" +
                                   std::to_string(minor(chip)) + "/../of_node";
    struct stat link = {};
    struct stat node = {};
    if (lstat(controller.c_str(), &link) != 0) {
        return "";
    }
    if (stat(controller.c_str(), &node) != 0 || access(controller.c_str(), R_OK | X_OK) != 0) {
        return std::string{std::strerror(errno)} +
               ": the device tree that says which pins kernel functions hold cannot be read "
               "(a container masks /sys/firmware); make /sys/firmware visible, read-only";
    }
    groups_by_phandle groups;
    add_groups(controller, label == "pinctrl-rp1", groups);
    const std::string buses = sys_root + "/bus";
    for (const std::string& bus : entries_of(buses, false)) {
        const std::string devices = path_in(path_in(buses, bus), "devices");
        for (const std::string& name : entries_of(devices, false)) {
            add_device_holders(bus, name, path_in(devices, name), node, groups, found.holders);
        }
    }
    return "";
}

std::string refuse_request(const line_holders& found, int line)
{
    for (const line_holder& holder : found.holders) {
        if (holder.line == line && holder.bound) {
            return "the pin is set to " + holder.function + " for " + holder.device +
                   ", a kernel function that the request would take it from; free the pin from "
                   "that device to read it";
        }
    }
    return "";
}

std::string watch_line(line_holders& found, const std::string& sys_root, int line)
{
    for (std::size_t index = 0; index < found.holders.size(); ++index) {
        const line_holder& holder = found.holders[index];
        if (holder.line == line && !holder.bound) {
            found.watches.push_back(
                {.holder = index, .bus_folder = bus_folder(found, sys_root, holder.bus)});
        }
    }
    return taken_line(found, line);
}

std::string taken_line(const line_holders& found, int line)
{
    for (const holder_watch& watch : found.watches) {
        const line_holder& holder = found.holders.at(watch.holder);
        if (holder.line == line && has_started(found, watch)) {
            return started_reason(holder);
        }
    }
    return "";
}

int first_taken_line(const line_holders& found, std::string& reason)
{
    for (const holder_watch& watch : found.watches) {
        if (has_started(found, watch)) {
            reason = started_reason(found.holders.at(watch.holder));
            return found.holders.at(watch.holder).line;
        }
    }
    return -1;
}

} // namespace board
