// SPDX-License-Identifier: MIT
// Who holds a line of a GPIO chip through its pin controller: the kernel
// functions (an I2C bus, a UART, a multiplexer) whose pin state sets the line
// to a function other than GPIO; and what get_pin does about them.
//
// The pin controllers of the header (pinctrl-bcm2835, -bcm2711, -rp1) are not
// strict: a line that a function has is reported unused, and a request for it
// succeeds and makes the pin an input, taking it from the function. The
// kernel's own report of who has it (debugfs) is root's alone; the device
// tree in sysfs says it to everyone. When get_pin releases a line whose pin a
// function has set meanwhile, the controller sets the pin back to GPIO input,
// and the function stays cut off until its driver is bound again.
//
// So a request is refused while a holder's driver is bound; a holder whose
// driver is not bound is watched from the request on, and once its driver has
// started get_pin ends, at set-up, at a read of the line, or at its own end.
// Each check gives the reason for the one line on stderr, or "" when get_pin
// goes on.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

namespace board
{

struct line_holder {
    int line = 0;         // the chip's line
    std::string bus;      // the bus in sysfs that has the device
    std::string device;   // the device's name, as sysfs and the kernel's reports give it
    std::string function; // what its state sets the line to, as the controller names it
    bool bound = false;   // whether a driver was bound when the holders were found
};

// A watched holder, by its place in line_holders::holders, and its bus's
// folder of devices, by its place in line_holders::bus_folders.
struct holder_watch {
    std::size_t holder = 0;
    std::size_t bus_folder = 0;
};

// The holders of one chip's lines, found at set-up, and the watch on those
// whose driver had not started.
struct line_holders {
    std::vector<line_holder> holders;
    std::vector<std::string> bus_names;
    std::vector<int> bus_folders; // each bus's devices folder, open, as bus_names
    std::vector<holder_watch> watches;
};

// Finds every device on any bus that may set a line of the GPIO chip whose
// character device is CHIP (labelled LABEL) to a function, from the sysfs
// under SYS_ROOT ("/sys"): by a state that the driver core applies (default,
// init), or, when its states are named but none so, by any of them, which it
// may switch between at any moment (a multiplexer). Devices whose driver is
// not bound are listed too, as `bound` false. None when the chip's controller
// is not in the device tree; the reason, when it is but the tree cannot be
// read (a container that masks /sys/firmware).
[[nodiscard]] std::string find_line_holders(line_holders& found, const std::string& sys_root,
                                            dev_t chip, const std::string& label);

// Why a request for LINE must be refused: a driver that is bound holds it.
[[nodiscard]] std::string refuse_request(const line_holders& found, int line);

// Starts watching the holders of a requested LINE whose driver was not bound,
// and looks at each at once: a driver that started since the holders were
// found has had the pin taken by the request.
[[nodiscard]] std::string watch_line(line_holders& found, const std::string& sys_root, int line);

// Why LINE, requested, must not be read on: a watched holder's driver has
// started; one lookup per watched holder of the line.
[[nodiscard]] std::string taken_line(const line_holders& found, int line);

// At get_pin's end: the first requested line that a watched holder's driver
// has taken meanwhile, or -1, with why in REASON.
[[nodiscard]] int first_taken_line(const line_holders& found, std::string& reason);

} // namespace board
