// SPDX-License-Identifier: MIT
// Who holds a line of the header chip, found on trees of sysfs files that copy
// the shapes of Debian's device trees (bcm2711-rpi-4-b.dtb and
// bcm2712-rpi-5-b.dtb of Linux 7.2, decompiled with dtc), for the shapes that
// the emulated machines cannot start: the 5th generation's RP1, the amba
// UARTs, states other than a lone default; and what get_pin does about them
// as their drivers come and go.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

#include "board/line_holder.h"

namespace
{

namespace fs = std::filesystem;

// One line per node, device or chip, in words separated by blanks:
//   node PATH NAME=VALUE...    a device-tree node, VALUE as dtc writes it but
//                              with commas between cells (<0x02,0x03>,
//                              "a","b"), or NAME alone (empty)
//   device BUS NAME NODE [bound]
//   chip NODE DEVICE [LABEL]   the header chip, under that controller device
struct shape {
    std::string_view name;
    std::string_view tree;
    std::string_view holders; // "LINE DEVICE FUNCTION bound|unbound" lines
};

void PrintTo(const shape& tree_shape, std::ostream* stream)
{
    *stream << tree_shape.name;
}

// A link as sysfs makes them, relative, so that the tree resolves wherever it is.
void link(const fs::path& at, const fs::path& target)
{
    if (!fs::is_symlink(at)) {
        fs::create_directories(at.parent_path());
        fs::create_directory_symlink(fs::relative(target, at.parent_path()), at);
    }
}

// A property's bytes: big-endian cells, or strings each with its zero byte.
std::string property_bytes(std::string_view value)
{
    std::string bytes;
    if (value.starts_with('<')) {
        std::istringstream cells{std::string{value.substr(1, value.size() - 2)}};
        for (std::string cell; std::getline(cells, cell, ',');) {
            const auto number = static_cast<std::uint32_t>(std::stoul(cell, nullptr, 0));
            for (int shift = 24; shift >= 0; shift -= 8) {
                bytes += static_cast<char>((number >> shift) & 0xffU);
            }
        }
        return bytes;
    }
    for (std::size_t open = value.find('"'); open != std::string_view::npos;) {
        const std::size_t close = value.find('"', open + 1);
        bytes += std::string{value.substr(open + 1, close - open - 1)} + '\0';
        open = value.find('"', close + 1);
    }
    return bytes;
}

// A sysfs root in a folder of the test's own, removed with all it holds.
struct tree_folder {
    fs::path root = fs::temp_directory_path() / ("line_holder." + std::to_string(getpid()));
    tree_folder()
    {
        fs::remove_all(root);
    }
    ~tree_folder()
    {
        fs::remove_all(root);
    }
    tree_folder(const tree_folder&) = delete;
    tree_folder& operator=(const tree_folder&) = delete;
    tree_folder(tree_folder&&) = delete;
    tree_folder& operator=(tree_folder&&) = delete;

    [[nodiscard]] fs::path sys() const
    {
        return root / "sys";
    }
    [[nodiscard]] fs::path node(const std::string& path) const
    {
        return sys() / "firmware/devicetree/base" / path;
    }

    void build(std::string_view tree)
    {
        std::istringstream lines{std::string{tree}};
        for (std::string line; std::getline(lines, line);) {
            std::istringstream line_words{line};
            const std::vector<std::string> words{std::istream_iterator<std::string>{line_words},
                                                 std::istream_iterator<std::string>{}};
            if (words.empty()) {
                continue;
            }
            if (words[0] == "node") {
                fs::create_directories(node(words.at(1)));
                for (std::size_t index = 2; index < words.size(); ++index) {
                    const std::string& property = words[index];
                    const std::size_t equals = std::min(property.find('='), property.size());
                    std::ofstream{node(words[1]) / property.substr(0, equals), std::ios::binary}
                        << property_bytes(std::string_view{property}.substr(
                               std::min(equals + 1, property.size())));
                }
            } else if (words[0] == "device") {
                const fs::path device = sys() / "devices/platform" / words.at(2);
                link(device / "of_node", node(words.at(3)));
                link(sys() / "bus" / words[1] / "devices" / words[2], device);
                if (words.size() > 4 && words[4] == "bound") {
                    bind(words[1], words[2]);
                }
            } else if (words[0] == "chip") {
                const fs::path controller = sys() / "devices/platform" / words.at(2);
                link(controller / "of_node", node(words.at(1)));
                fs::create_directories(controller / "gpiochip0");
                link(sys() / "dev/char/254:0", controller / "gpiochip0");
                label = words.size() > 3 ? words[3] : "pinctrl-bcm2711";
            }
        }
    }

    void bind(const std::string& bus, const std::string& device) const
    {
        fs::create_directories(sys() / "bus" / bus / "drivers/driver");
        link(sys() / "devices/platform" / device / "driver",
             sys() / "bus" / bus / "drivers/driver");
    }

    std::string label;
};

// Whether TEXT has PART, shown when not.
testing::AssertionResult has(const std::string& text, std::string_view part)
{
    if (text.find(part) != std::string::npos) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "'" << text << "' lacks '" << part << "'";
}

class LineHolders : public testing::TestWithParam<shape>
{
};

TEST_P(LineHolders, AreTheDevicesWhoseStatesSetTheLinesToAFunction)
{
    tree_folder folder;
    folder.build(GetParam().tree);
    board::line_holders holders;
    EXPECT_EQ(board::find_line_holders(holders, folder.sys(), makedev(254, 0), folder.label), "");
    std::set<std::string> found;
    for (const board::line_holder& holder : holders.holders) {
        found.insert(std::to_string(holder.line) + " " + holder.device + " " + holder.function +
                     (holder.bound ? " bound" : " unbound"));
    }
    std::set<std::string> wanted;
    std::istringstream lines{std::string{GetParam().holders}};
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            wanted.insert(line);
        }
    }
    EXPECT_EQ(found, wanted);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LineHolders,
    testing::Values(
        // uart2 as an overlay turns it on: a PL011 on the amba bus, its group
        // in the generic form, in sub-nodes, but for a disabled one. Outside
        // RP1 a group by name is only "gpioN".
        shape{"AmbaUartGenericSubNodes", R"(
chip soc/gpio@7e200000 fe200000.gpio
node soc/gpio@7e200000/uart2-gpio0 phandle=<0x73>
node soc/gpio@7e200000/uart2-gpio0/pin-tx pins="gpio0" function="alt4" bias-disable
node soc/gpio@7e200000/uart2-gpio0/pin-rx pins="gpio1" function="alt4" bias-pull-up
node soc/gpio@7e200000/uart2-gpio0/pin-rts pins="gpio17" function="alt4" status="disabled"
node soc/gpio@7e200000/uart2-gpio0/pin-cts groups="uart1_ctrl","gpio16" function="alt4"
node soc/serial@7e201400 compatible="arm,pl011","arm,primecell" status="okay" pinctrl-names="default" pinctrl-0=<0x73>
device amba fe201400.serial soc/serial@7e201400 bound)",
              "0 fe201400.serial alt4 bound\n1 fe201400.serial alt4 bound\n16 fe201400.serial alt4 "
              "bound"},
        // RP1's form, a group by its name in the driver's table, as the tree
        // has i2c6 (disabled), turned on for i2c1 on header pins 3 and 5.
        shape{"Rp1GroupsByName",
              R"(
chip axi/pcie@1000120000/pci@0,0/dev@0,0/pci-ep-bus@1/pinctrl@400d0000 1f000d0000.gpio pinctrl-rp1
node axi/pcie@1000120000/pci@0,0/dev@0,0/pci-ep-bus@1/pinctrl@400d0000/rp1-i2c1-default-state function="i2c1" groups="i2c1_0" drive-strength=<0x0c> bias-pull-up phandle=<0x27>
node axi/pcie@1000120000/pci@0,0/dev@0,0/pci-ep-bus@1/i2c@40074000 compatible="snps,designware-i2c" status="okay" pinctrl-0=<0x27> pinctrl-names="default"
device platform 1f00074000.i2c axi/pcie@1000120000/pci@0,0/dev@0,0/pci-ep-bus@1/i2c@40074000 bound)",
              "2 1f00074000.i2c i2c1 bound\n3 1f00074000.i2c i2c1 bound"},
        // The default state as the second of three (init, default, sleep):
        // the driver core applies init as the driver starts, then default.
        shape{"DefaultAmongOtherStates", R"(
chip soc/gpio@7e200000 fe200000.gpio
node soc/gpio@7e200000/pwm0-0-gpio12 phandle=<0x61>
node soc/gpio@7e200000/pwm0-0-gpio12/pin-pwm pins="gpio12" function="alt0" bias-disable
node soc/gpio@7e200000/i2c1-gpio2 brcm,pins=<0x02,0x03> brcm,function=<0x04> phandle=<0x11>
node soc/gpio@7e200000/gpclk0-gpio4 brcm,pins=<0x04> brcm,function=<0x04> phandle=<0x36>
node soc/i2c@7e804000 status="okay" pinctrl-names="init","default","sleep" pinctrl-0=<0x61> pinctrl-1=<0x11> pinctrl-2=<0x36>
device platform fe804000.i2c soc/i2c@7e804000 bound)",
              "2 fe804000.i2c alt0 bound\n3 fe804000.i2c alt0 bound\n12 fe804000.i2c alt0 bound"},
        // Debian's i2c0 multiplexer: no default state, either of its two
        // states at any moment.
        shape{"MultiplexerStates", R"(
chip soc/gpio@7e200000 fe200000.gpio
node soc/gpio@7e200000/i2c0-gpio0 brcm,pins=<0x00,0x01> brcm,function=<0x04> phandle=<0x2b>
node soc/gpio@7e200000/i2c0-gpio44 brcm,pins=<0x2c,0x2d> brcm,function=<0x05> phandle=<0x2c>
node i2c-mux0 compatible="i2c-mux-pinctrl" i2c-parent=<0x2a> pinctrl-names="i2c0","i2c0-vc" pinctrl-0=<0x2b> pinctrl-1=<0x2c> phandle=<0xae>
device platform i2c-mux0 i2c-mux0 bound)",
              "0 i2c-mux0 alt0 bound\n1 i2c-mux0 alt0 bound\n44 i2c-mux0 alt1 bound\n45 i2c-mux0 "
              "alt1 bound"},
        // A disabled node holds nothing; a driver not yet started is listed
        // as such.
        shape{"DisabledOrNotYetBound", R"(
chip soc/gpio@7e200000 fe200000.gpio
node soc/gpio@7e200000/i2c3-gpio2 phandle=<0x54>
node soc/gpio@7e200000/i2c3-gpio2/pin-sda function="alt5" pins="gpio2" bias-pull-up
node soc/i2c@7e205600 status="disabled" pinctrl-names="default" pinctrl-0=<0x54>
device platform fe205600.i2c soc/i2c@7e205600
node soc/gpio@7e200000/i2c1-gpio2 brcm,pins=<0x02,0x03> brcm,function=<0x04> phandle=<0x11>
node soc/i2c@7e804000 status="okay" pinctrl-names="default" pinctrl-0=<0x11>
device platform fe804000.i2c soc/i2c@7e804000)",
              "2 fe804000.i2c alt0 unbound\n3 fe804000.i2c alt0 unbound"},
        // A group that sets its line to a GPIO function holds nothing, nor
        // does the controller's own state, the board's setting at boot; with
        // one function per pin, only the pins set to another function. A
        // state may name a group's sub-node; a state without a name is
        // selected by no one.
        shape{"GpioFunctionsAndTheControllersOwnState", R"(
chip soc/gpio@7e200000 fe200000.gpio
node soc/gpio@7e200000 pinctrl-names="default" pinctrl-0=<0x7c>
node soc/gpio@7e200000/alt0 brcm,pins=<0x04,0x05,0x07,0x08,0x09,0x0a,0x0b> brcm,function=<0x04> phandle=<0x7c>
device platform fe200000.gpio soc/gpio@7e200000 bound
node soc/gpio@7e200000/gpioout brcm,pins=<0x0c,0x0d> brcm,function=<0x01,0x04> phandle=<0x7b>
node soc/gpio@7e200000/gpioin pins="gpio16" function="gpio_in" phandle=<0x7d>
node leds status="okay" pinctrl-names="default" pinctrl-0=<0x7b,0x7d>
device platform leds leds bound
node soc/gpio@7e200000/spi0-gpio7 phandle=<0x80>
node soc/gpio@7e200000/spi0-gpio7/pin-cs pins="gpio7" function="alt0" phandle=<0x81>
node soc/spi@7e204000 pinctrl-names="default" pinctrl-0=<0x81>
device platform fe204000.spi soc/spi@7e204000 bound
node nameless pinctrl-0=<0x80>
device platform nameless nameless bound)",
              "13 leds alt0 bound\n7 fe204000.spi alt0 bound"}),
    [](const testing::TestParamInfo<shape>& shape_info) {
        return std::string{shape_info.param.name};
    });

// A bound driver's line is refused; a driver that starts later, between the
// finding and the request, or after it, in a device made again by then, ends
// get_pin; a tree that cannot be read, as a container's masked /sys/firmware,
// stops it at start.
TEST_F(LineHolders, AreRefusedOrWatchedUntilTheirDriverStarts)
{
    tree_folder folder;
    folder.build(R"(
chip soc/gpio@7e200000 fe200000.gpio
node soc/gpio@7e200000/i2c1-gpio2 brcm,pins=<0x02,0x03> brcm,function=<0x04> phandle=<0x11>
node soc/i2c@7e804000 pinctrl-names="default" pinctrl-0=<0x11>
device platform fe804000.i2c soc/i2c@7e804000 bound
node soc/gpio@7e200000/gpclk0-gpio4 brcm,pins=<0x04> brcm,function=<0x04> phandle=<0x36>
node clock pinctrl-names="default" pinctrl-0=<0x36>
device platform clock clock
node soc/gpio@7e200000/pwm-gpio12 brcm,pins=<0x0c> brcm,function=<0x04> phandle=<0x61>
node pwm pinctrl-names="default" pinctrl-0=<0x61>
device platform pwm pwm)");
    board::line_holders holders;
    ASSERT_EQ(board::find_line_holders(holders, folder.sys(), makedev(254, 0), folder.label), "");
    EXPECT_TRUE(has(board::refuse_request(holders, 2), "alt0 for fe804000.i2c"));
    EXPECT_EQ(board::refuse_request(holders, 4), "");
    EXPECT_EQ(board::watch_line(holders, folder.sys(), 4), "");
    std::string reason;
    EXPECT_EQ(board::first_taken_line(holders, reason), -1);
    folder.bind("platform", "pwm");
    EXPECT_TRUE(has(board::watch_line(holders, folder.sys(), 12), "for pwm,"));
    fs::remove_all(folder.sys() / "devices/platform/clock");
    fs::remove(folder.sys() / "bus/platform/devices/clock");
    EXPECT_EQ(board::taken_line(holders, 4), "");
    folder.build("device platform clock clock bound");
    EXPECT_TRUE(has(board::taken_line(holders, 4),
                    "alt0 for clock, a kernel function whose driver started after "
                    "get_pin; the pin goes back to GPIO input"));
    EXPECT_EQ(board::first_taken_line(holders, reason), 4);
    EXPECT_TRUE(has(reason, "unbind clock from its driver and bind it again"));

    fs::remove_all(folder.sys() / "firmware");
    fs::create_directories(folder.sys() / "firmware");
    EXPECT_TRUE(has(board::find_line_holders(holders, folder.sys(), makedev(254, 0), folder.label),
                    "No such file or directory: the device tree"));
}

} // namespace
