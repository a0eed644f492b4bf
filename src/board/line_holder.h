// SPDX-License-Identifier: MIT
// Who holds a line of a GPIO chip through its pin controller: the kernel
// functions (an I2C bus, a UART, a multiplexer) whose pin state sets the line
// to a function other than GPIO.
//
// The pin controllers of the header (pinctrl-bcm2835, -bcm2711, -rp1) are not
// strict: a line that a function has is reported unused, and a request for it
// succeeds and makes the pin an input, taking it from the function. The
// kernel's own report of who has it (debugfs) is root's alone; the device
// tree in sysfs says it to everyone.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace board
{

struct line_holder {
    int line = 0;         // the chip's line
    std::string device;   // the device's name, as sysfs and the kernel's reports give it
    std::string function; // what its state sets the line to, as the controller names it
    std::string driver;   // the device's driver link in sysfs, there while a driver is bound
    bool bound = false;   // whether a driver was bound when the holders were found
};

// Every device on any bus that may set a line of the GPIO chip whose character
// device is CHIP to a function, from the sysfs under SYS_ROOT ("/sys"): by its
// default state, or, without one, by any of its states, which it may switch
// between at any moment (a multiplexer). Devices whose driver is not bound are
// listed too, as `bound` false: their driver may still start. Empty when the
// chip has no pin controller in the device tree.
[[nodiscard]] std::vector<line_holder> find_line_holders(const std::string& sys_root, dev_t chip);

} // namespace board
