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
# It stops after --polls requests, or sooner after --changes changes. Asking
# every 0.02 s, it sees every high that get_pin has sampled on pin 18 (the
# README's Timing of pin 18 says how often a controller must ask).
#
#   examples/watch_pins.py [--polls N] [--changes N] [--interval SECONDS] [GET_PIN]
#
# GET_PIN is the get_pin command to run, its words separated by blanks, such as
# 'ssh pi@board get_pin' for a board on the network: the argument, else
# $GET_PIN, else get_pin on the PATH, else build/host/get_pin in the clone this
# example is in (the README's Quick start builds it there, for the simulated
# board). On a machine without a header, with the simulated board:
#
#   printf '%040d' 0 > levels
#   GET_PIN_SIM_LEVELS=levels examples/watch_pins.py
#   (and in another terminal, while it runs:  printf '%06d1%033d' 0 0 > levels)
import argparse
import math
import os
import shutil
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


def default_command():
    """$GET_PIN's words, else get_pin on the PATH, else the clone's build/host/get_pin
    (a path that is one word, whatever blanks the clone's folder has)."""
    clone_build = os.path.join(os.path.dirname(os.path.realpath(__file__)),
                               os.pardir, "build", "host", "get_pin")
    if os.environ.get("GET_PIN", "").split():
        return os.environ["GET_PIN"].split()
    if shutil.which("get_pin") or not os.access(clone_build, os.X_OK):
        return ["get_pin"]
    return [os.path.normpath(clone_build)]


def number(kind, convert, valid):
    """An argparse type: convert(text), refused unless valid(value)."""
    def parse(text):
        try:
            value = convert(text)
        except ValueError:
            value = None
        if value is None or not valid(value):
            raise argparse.ArgumentTypeError(f"invalid {kind} value: '{text}'")
        return value
    return parse


def main():
    parser = argparse.ArgumentParser(description="Print get_pin's levels and each change.")
    parser.add_argument("get_pin", nargs="?", metavar="GET_PIN",
                        help="the get_pin command to run, its words separated by blanks, such as "
                        "'ssh pi@board get_pin' (default: $GET_PIN, else get_pin on the PATH, "
                        "else build/host/get_pin in this example's clone)")
    parser.add_argument("--polls", metavar="N", default=500, help="requests at most (500)",
                        type=number("positive int", int, lambda n: n > 0))
    parser.add_argument("--changes", metavar="N", default=0,
                        help="stop after this many (0: no limit)",
                        type=number("non-negative int", int, lambda n: n >= 0))
    parser.add_argument("--interval", metavar="SECONDS", default=0.02,
                        help="seconds between requests (0.02)",
                        type=number("non-negative number", float,
                                    lambda n: math.isfinite(n) and n >= 0))
    options = parser.parse_args()
    command = default_command() if options.get_pin is None else options.get_pin.split()
    if not command:
        parser.error(f"argument GET_PIN: empty command: '{options.get_pin}'")

    # get_pin's standard input and output are pipes to this program; its
    # standard error stays ours, so that its one-line failure message shows.
    try:
        get_pin = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   text=True)
    except OSError as error:
        sys.exit(f"watch_pins.py: start {command[0]}: {error.strerror}")
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
