#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# watch_pins.py: how to drive get_pin from a program of your own (Python 3,
# standard library only). It starts get_pin, asks "get", turns the reply line
# into {pin: level}, prints the levels, then asks again every --interval
# seconds and prints a line for each level that changed, and ends with "exit":
#
#   start {3: 1, 7: 0, 27: 0, 32: 1, 36: 0, 18: 0}
#   pin 7: 0 -> 1
#
# It stops after --polls requests, or sooner after --changes changes.
#
#   examples/watch_pins.py [--polls N] [--changes N] [--interval SECONDS] [GET_PIN]
#
# GET_PIN is the get_pin program to run: the argument, else $GET_PIN, else
# get_pin on the PATH. On a machine without a header, with the simulated board:
#
#   printf '%040d' 0 > levels
#   GET_PIN_SIM_LEVELS=levels examples/watch_pins.py build/host/get_pin
#   (and in another terminal, while it runs:  printf '%06d1%033d' 0 0 > levels)
import argparse
import os
import subprocess
import sys
import time


def ask(get_pin):
    """Sends "get" and returns the reply as {pin: level}, in reply order."""
    try:
        get_pin.stdin.write("get\n")
        get_pin.stdin.flush()  # the request must leave now, not when a buffer fills
    except BrokenPipeError:
        pass  # get_pin has ended: the reply below is missing and says so
    reply = get_pin.stdout.readline()  # "{3: 1, 7: 0, 27: 0, 32: 1, 36: 0, 18: 0, }\n"
    if not reply:
        sys.exit(f"watch_pins.py: get_pin ended (status {get_pin.wait()})")
    levels = {}
    for entry in reply.strip("{} \n").split(","):  # "3: 1", " 7: 0", ..., " "
        if entry.strip():
            pin, level = entry.split(":")
            levels[int(pin)] = int(level)
    return levels


def main():
    parser = argparse.ArgumentParser(description="Print get_pin's levels and each change.")
    parser.add_argument("get_pin", nargs="?", default=os.environ.get("GET_PIN", "get_pin"))
    parser.add_argument("--polls", type=int, default=100, help="requests at most (100)")
    parser.add_argument("--changes", type=int, default=0, help="stop after this many (0: no limit)")
    parser.add_argument("--interval", type=float, default=0.1, help="seconds between requests (0.1)")
    options = parser.parse_args()

    # get_pin's standard input and output are pipes to this program; its
    # standard error stays ours, so that its one-line failure message shows.
    try:
        get_pin = subprocess.Popen([options.get_pin], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, text=True)
    except OSError as error:
        sys.exit(f"watch_pins.py: start {options.get_pin}: {error.strerror}")
    levels = ask(get_pin)
    print("start", levels, flush=True)
    changes = 0
    for _ in range(options.polls - 1):
        if options.changes and changes >= options.changes:
            break
        time.sleep(options.interval)
        now = ask(get_pin)
        for pin, level in now.items():
            if level != levels[pin]:
                print(f"pin {pin}: {levels[pin]} -> {level}", flush=True)
                changes += 1
        levels = now

    get_pin.stdin.write("exit\n")
    get_pin.stdin.close()
    return get_pin.wait()  # 0 after exit


if __name__ == "__main__":
    sys.exit(main())
