// SPDX-License-Identifier: MIT
// The held-pin window: the last eight samples of header pin 18, so that a short
// high pulse caught by one sample is still reported by the next requests.
#include <algorithm>

#include "gpio/gpio.h"

namespace gpio
{

namespace
{
// Entry 0 is the oldest sample, the last entry the newest. All low at start.
std::array<std::int32_t, window_depth> pin_18_state_buf{};
} // namespace

void sample_pin_18()
{
    // Every sample moves one place to the front, the oldest drops out, and the
    // new one takes the back.
    std::ranges::copy(pin_18_state_buf.begin() + 1, pin_18_state_buf.end(),
                      pin_18_state_buf.begin());
    pin_18_state_buf.back() = digitalRead(held_pin);
}

int pin_18_state()
{
    // Any non-zero sample counts as high. Adding the samples up, as one might,
    // gives the same answer for levels of 0 and 1 but could overflow or cancel
    // out for a board that reports "high" as another non-zero value.
    const bool any_high =
        std::ranges::any_of(pin_18_state_buf, [](std::int32_t level) { return level != 0; });
    return any_high ? 1 : 0;
}

} // namespace gpio
