#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# A slow link for the example check, given as the example's command as ssh
# would be: runs COMMAND and passes its standard input and output on, each
# chunk DELAY seconds after it came, and ends with COMMAND's status once its
# output has ended and been passed on.
#
#   delay_relay.py DELAY COMMAND...
import collections
import os
import select
import subprocess
import sys
import time

delay = float(sys.argv[1])
far_input, to_far = os.pipe()
far_output, from_far = os.pipe()
far = subprocess.Popen(sys.argv[2:], stdin=far_input, stdout=from_far)
os.close(far_input)
os.close(from_far)
# Each way, from its source: its sink and the chunks on the way (time due,
# bytes; empty bytes for the end of the source).
ways = {0: (to_far, collections.deque()), far_output: (1, collections.deque())}
reading = {0, far_output}
while True:
    now = time.monotonic()
    for sink, chunks in ways.values():
        while chunks and chunks[0][0] <= now:
            data = chunks.popleft()[1]
            try:
                os.write(sink, data) if data else os.close(sink)
            except BrokenPipeError:
                chunks.clear()  # the reader has gone, as a far end that ended
    if far_output not in reading and not ways[far_output][1]:
        break
    due = [chunks[0][0] for _, chunks in ways.values() if chunks]
    wait = max(min(due) - now, 0) if due else None
    for source in select.select(list(reading), [], [], wait)[0]:
        data = os.read(source, 4096)
        ways[source][1].append((time.monotonic() + delay, data))
        if not data:
            reading.discard(source)
sys.exit(far.wait())
