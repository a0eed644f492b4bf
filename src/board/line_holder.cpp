// SPDX-License-Identifier: MIT
// Who holds a line of a GPIO chip through its pin controller, read from the
// device tree and the devices in sysfs, once for the chip.
//
// The chip's device has the controller as its parent, whose of_node is the
// controller's node. Each child of that node is a group that a device's pin
// state can name by its phandle, in the controllers' legacy form (brcm,pins
// with one brcm,function or one per pin) or in the generic one (pins
// "gpioN", or groups by name, with a function string), in the group itself
// or in its sub-nodes. Devices are taken from every bus in /sys/bus: the
// platform bus has the SoC's I2C buses, the amba bus its extra UARTs.
#include "board/line_holder.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <map>
#include <string_view>
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

// The header lines of a group named in `groups`.
[[nodiscard]] std::vector<int> lines_of_group(std::string_view name)
{
    const int line = line_of_pin(name);
    if (line >= 0) {
        return {line};
    }
    std::vector<int> lines;
    const auto* const group = std::ranges::find(rp1_groups, name, &named_group::name);
    for (int header_line = 0; group != rp1_groups.end() && header_line < header_line_count;
         ++header_line) {
        if ((group->lines & (std::uint32_t{1} << header_line)) != 0) {
            lines.push_back(header_line);
        }
    }
    return lines;
}

// What one node sets, in either form.
void add_node_muxings(const std::string& node, std::vector<muxing>& muxings)
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
            for (const int line : lines_of_group(group)) {
                add(line, function);
            }
        }
    }
}

// What a group sets: itself and its available sub-nodes.
[[nodiscard]] std::vector<muxing> group_muxings(const std::string& group)
{
    std::vector<muxing> muxings;
    add_node_muxings(group, muxings);
    for (const std::string& child : entries_of(group, true)) {
        if (is_available(path_in(group, child))) {
            add_node_muxings(path_in(group, child), muxings);
        }
    }
    return muxings;
}

[[nodiscard]] std::uint32_t phandle_of(const std::string& node)
{
    const std::vector<std::uint32_t> phandle = cells_of(read_small_file(node + "/phandle"));
    return phandle.empty() ? 0 : phandle.front();
}

// The controller's groups that set a line to a function, by phandle; a
// sub-node with a phandle of its own can be named alone.
[[nodiscard]] groups_by_phandle controller_groups(const std::string& controller)
{
    groups_by_phandle groups;
    for (const std::string& name : entries_of(controller, true)) {
        const std::string group = path_in(controller, name);
        if (const std::uint32_t phandle = phandle_of(group); phandle != 0) {
            groups[phandle] = group_muxings(group);
        }
        for (const std::string& child : entries_of(group, true)) {
            if (const std::uint32_t phandle = phandle_of(path_in(group, child)); phandle != 0) {
                std::vector<muxing> muxings;
                add_node_muxings(path_in(group, child), muxings);
                groups[phandle] = muxings;
            }
        }
    }
    return groups;
}

// The phandles of the states a device may be in: its default state, which the
// driver core applies at probe, wherever it stands in pinctrl-names; without
// one, every state, any of which it may select at any moment.
[[nodiscard]] std::vector<std::uint32_t> state_groups(const std::string& node)
{
    const std::vector<std::string> names = strings_of(read_small_file(node + "/pinctrl-names"));
    const auto is_default = std::ranges::find(names, "default");
    std::vector<std::uint32_t> phandles;
    for (std::size_t state = 0; exists(path_in(node, "pinctrl-" + std::to_string(state)));
         ++state) {
        if (is_default == names.end() ||
            state == static_cast<std::size_t>(is_default - names.begin())) {
            const std::vector<std::uint32_t> state_phandles =
                cells_of(read_small_file(path_in(node, "pinctrl-" + std::to_string(state))));
            phandles.insert(phandles.end(), state_phandles.begin(), state_phandles.end());
        }
    }
    return phandles;
}

// The controller's node, behind the chip's character device, or "".
[[nodiscard]] std::string controller_node(const std::string& sys_root, dev_t chip)
{
    const std::string device = canonical(sys_root + "/dev/char/" + std::to_string(major(chip)) +
                                         ":" + std::to_string(minor(chip)));
    return device.empty() ? "" : canonical(device.substr(0, device.rfind('/')) + "/of_node");
}

// Adds the holders among one device's states.
void add_device_holders(const std::string& device_path, const std::string& name,
                        const std::string& controller, const groups_by_phandle& groups,
                        std::vector<line_holder>& holders)
{
    const std::string node = canonical(device_path + "/of_node");
    // The controller's own state is the board's setting at boot, no function.
    if (node.empty() || node == controller || !is_available(node)) {
        return;
    }
    const std::string driver = device_path + "/driver";
    for (const std::uint32_t phandle : state_groups(node)) {
        const auto group = groups.find(phandle);
        if (group == groups.end()) {
            continue;
        }
        for (const muxing& set : group->second) {
            const bool known = std::ranges::any_of(holders, [&](const line_holder& holder) {
                return holder.line == set.line && holder.device == name;
            });
            if (!known) {
                holders.push_back({.line = set.line,
                                   .device = name,
                                   .function = set.function,
                                   .driver = driver,
                                   .bound = exists(driver)});
            }
        }
    }
}

} // namespace

std::vector<line_holder> find_line_holders(const std::string& sys_root, dev_t chip)
{
    std::vector<line_holder> holders;
    const std::string controller = controller_node(sys_root, chip);
    if (controller.empty()) {
        return holders;
    }
    const groups_by_phandle groups = controller_groups(controller);
    const std::string buses = sys_root + "/bus";
    for (const std::string& bus : entries_of(buses, false)) {
        const std::string devices = path_in(path_in(buses, bus), "devices");
        for (const std::string& name : entries_of(devices, false)) {
            add_device_holders(path_in(devices, name), name, controller, groups, holders);
        }
    }
    return holders;
}

} // namespace board
