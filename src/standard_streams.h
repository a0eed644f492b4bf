// SPDX-License-Identifier: MIT
// The three standard descriptors, checked before anything else is opened.
//
// A descriptor closed when get_pin starts would be taken by the next file it
// opens: the simulated board's trace would get the replies, the header chip
// would be waited on for commands. Standard input and output closed end
// get_pin; standard error closed is given /dev/null, as nothing but a failure
// is ever written there.
#pragma once

namespace standard_streams
{

// Afterwards descriptors 0, 1 and 2 are open, so no file that get_pin opens
// lands on them. Ends the program with a message and status 1 when standard
// input or output is closed.
void check_open();

} // namespace standard_streams
