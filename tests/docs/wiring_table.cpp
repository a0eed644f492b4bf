// SPDX-License-Identifier: MIT
// Prints the README's wiring section from the program's own tables: the pins
// that get_pin reads (src/gpio/gpio.h) and the header's layout and pulls
// (src/board/header.h), so that the README cannot drift from the code.
//
//   $ build/host/tests/wiring_table            # the section, as README.md has it
//   $ python3 tests/docs/check_docs.py wiring README.md build/host/tests/wiring_table --update
//   $ build/host/tests/wiring_table --pins     # the pins in reply order, and the reply
//                                              # of a board with nothing connected
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "board/header.h"
#include "gpio/gpio.h"

namespace
{

struct known_role {
    int position;
    std::string_view role;
};

// What else the boards use these pins for: things that change what a pin reads
// or that another program may hold.
constexpr std::array<known_role, 6> roles{{
    {.position = 3,
     .role = "I2C1 SDA (pin 5 is SCL): a fixed 1.8 kΩ pull-up to 3.3 V on the board"},
    {.position = 7, .role = "1-Wire when that is enabled; GPCLK0"},
    {.position = 27, .role = "I2C0 SDA (pin 28 is SCL); ID_SD: the add-on board's ID EEPROM"},
    {.position = 32, .role = "PWM0"},
    {.position = 36, .role = "SPI1 CE2"},
    {.position = 18, .role = "—"},
}};

[[nodiscard]] bool is_read(int header_position)
{
    return header_position == gpio::held_pin ||
           std::ranges::find(gpio::pins, header_position) != gpio::pins.end();
}

[[nodiscard]] bool is_in(std::span<const int> positions, int header_position)
{
    return std::ranges::find(positions, header_position) != positions.end();
}

// What stands at a position: a supply, or the GPIO line's number.
[[nodiscard]] std::string name_of(int header_position)
{
    if (is_in(board::ground, header_position)) {
        return "GND";
    }
    if (is_in(board::power_3v3, header_position)) {
        return "3.3V";
    }
    if (is_in(board::power_5v, header_position)) {
        return "5V";
    }
    return "GPIO" + std::to_string(board::line_of_position(header_position));
}

// Rows of two positions, odd on the left as on the board (pin 1 has the
// square pad); the pins that get_pin reads are filled in and marked.
void print_drawing()
{
    std::puts("```");
    for (int left = 1; left < board::header_size; left += 2) {
        const int right = left + 1;
        const auto pad = [](int position) { return is_read(position) ? "●" : "○"; };
        std::string row = std::string{is_read(left) ? "get_pin ►" : "         "};
        std::array<char, 64> middle{};
        static_cast<void>(
            std::snprintf(middle.data(), middle.size(), " %6s %2d ", name_of(left).c_str(), left));
        row += middle.data();
        row += std::string{pad(left)} + " " + pad(right);
        static_cast<void>(std::snprintf(middle.data(), middle.size(), " %-2d %-6s", right,
                                        name_of(right).c_str()));
        row += middle.data();
        row += is_read(right) ? " ◄ get_pin" : "";
        std::puts(row.substr(0, row.find_last_not_of(' ') + 1).c_str());
    }
    std::puts("```");
}

// The ground position nearest on the board: rows are 2.54 mm apart, and so
// are the two columns.
[[nodiscard]] int nearest_ground(int header_position)
{
    const auto distance = [header_position](int other) {
        const int rows = (other - 1) / 2 - (header_position - 1) / 2;
        const int columns = (other - 1) % 2 - (header_position - 1) % 2;
        return rows * rows + columns * columns;
    };
    return *std::ranges::min_element(board::ground, {}, distance);
}

[[nodiscard]] std::string_view role_of(int header_position)
{
    const auto* const found = std::ranges::find(roles, header_position, &known_role::position);
    if (found == roles.end()) {
        static_cast<void>(std::fprintf(
            stderr, "wiring_table: no role written down for header pin %d\n", header_position));
        std::exit(EXIT_FAILURE);
    }
    return found->role;
}

void print_row(int header_position, std::string_view read)
{
    std::printf("| %d | %d | %s | %s | %s | %d |\n", header_position,
                board::line_of_position(header_position), std::string{read}.c_str(),
                board::pulled_up_at_power_on(header_position) ? "up" : "down",
                std::string{role_of(header_position)}.c_str(), nearest_ground(header_position));
}

void print_table()
{
    std::puts("| Header pin | GPIO | Read | Default pull | Other role | Nearest ground |");
    std::puts("|---|---|---|---|---|---|");
    for (const int header_position : gpio::pins) {
        print_row(header_position, "at each `get`");
    }
    print_row(gpio::held_pin, "every pass, held over 8 samples");
}

// The pins in reply order on one line, then the reply line of a board with
// nothing connected, for the checks of the table's copies (check_docs.py pins).
void print_pins()
{
    std::string order;
    std::string reply = "{";
    const auto add = [&order, &reply](int header_position) {
        order += (order.empty() ? "" : " ") + std::to_string(header_position);
        reply += std::to_string(header_position) + ": " +
                 (board::pulled_up_at_power_on(header_position) ? "1" : "0") + ", ";
    };
    std::ranges::for_each(gpio::pins, add);
    add(gpio::held_pin);
    std::puts(order.c_str());
    std::puts((reply + "}").c_str());
}

} // namespace

int main(int argc, char** argv)
{
    const std::span<char*> arguments{argv, static_cast<std::size_t>(argc)};
    if (arguments.size() == 2 && std::string_view{arguments[1]} == "--pins") {
        print_pins();
        return 0;
    }
    print_drawing();
    std::puts("");
    print_table();
    return 0;
}
