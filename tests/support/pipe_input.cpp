// SPDX-License-Identifier: MIT
#include "pipe_input.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "command_input.h"

namespace pipe_input
{

int feed(std::string_view bytes, bool then_close)
{
    std::array<int, 2> ends{};
    EXPECT_EQ(pipe2(ends.data(), O_CLOEXEC), 0);
    EXPECT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    input::use_descriptor(ends[0]);
    if (then_close) {
        close(ends[1]);
        return -1;
    }
    return ends[1];
}

} // namespace pipe_input
