// SPDX-License-Identifier: MIT
// Pin set-up and the held-pin window of header pin 18, on the fake board.
// The window is program-wide state: CTest runs every test in a process of its
// own, so each starts with an empty window.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "gpio/gpio.h"
#include "support/fake_board.h"
#include "support/pin_table.h"

namespace
{

constexpr auto held_pin = static_cast<std::size_t>(gpio::held_pin);

// One pass as the command loop runs it: a reply (if any) sees the window
// before the pass's own sample.
int held_value_then_sample(int level_of_18)
{
    const int held = gpio::pin_18_state();
    fake_board::levels.at(held_pin) = level_of_18;
    gpio::sample_pin_18();
    return held;
}

TEST(PinSetup, PreparesTheLibraryFirstThenMakesThePinsInputsInTableOrder)
{
    gpio::setup();
    EXPECT_EQ(fake_board::calls, pin_table::setup_calls());
}

TEST(HeldPinWindow, IsLowBeforeTheFirstSample)
{
    fake_board::levels.at(held_pin) = 1;
    EXPECT_EQ(gpio::pin_18_state(), 0);
}

TEST(HeldPinWindow, OneHighSampleShowsForExactlyTheNextEightPasses)
{
    static_cast<void>(held_value_then_sample(1)); // the high sample, taken at the end of pass n
    std::vector<int> held_in_later_passes;
    for (int pass = 1; pass <= 10; ++pass) {
        held_in_later_passes.push_back(held_value_then_sample(0));
    }
    const std::vector<int> expected{1, 1, 1, 1, 1, 1, 1, 1, 0, 0};
    EXPECT_EQ(held_in_later_passes, expected);
}

TEST(HeldPinWindow, FollowsAPinThatStaysHighOrLow)
{
    for (int pass = 0; pass < 20; ++pass) {
        EXPECT_EQ(held_value_then_sample(0), 0) << "pass " << pass;
    }
    EXPECT_EQ(held_value_then_sample(1), 0) << "the pass that takes the first high sample";
    for (int pass = 0; pass < 20; ++pass) {
        EXPECT_EQ(held_value_then_sample(1), 1) << "pass " << pass;
    }
}

TEST(HeldPinWindow, AnyNonZeroLevelCountsAsHighWithoutOverflowOrCancelling)
{
    // Levels that sum to zero, or overflow an int, must still read as high.
    static_cast<void>(held_value_then_sample(1));
    static_cast<void>(held_value_then_sample(-1));
    EXPECT_EQ(gpio::pin_18_state(), 1);
    for (int pass = 0; pass < 8; ++pass) {
        static_cast<void>(held_value_then_sample(INT_MAX));
    }
    EXPECT_EQ(gpio::pin_18_state(), 1);
}

} // namespace
