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
# It stops after --polls requests, or sooner after --changes changes. It asks
# by the clock, without waiting for each reply: up to --in-flight requests go
# unanswered, and get_pin answers them in order. Asking every 0.02 s, it sees
# every high that get_pin has sampled on pin 18 while the round trip to get_pin
# stays under 35 ms plus --in-flight less one intervals: 175 ms at the
# defaults, for a board on the network (the README's Timing of pin 18). A
# reply later than --timeout seconds, or a get_pin that ends, ends it with one
# line and status 1, and its get_pin with it.
#
#   examples/watch_pins.py [--polls N] [--changes N] [--interval SECONDS]
#                          [--in-flight N] [--timeout SECONDS] [GET_PIN]
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
import collections
import math
import os
import queue
import shutil
import subprocess
import sys
import threading
import time


def parse_reply(reply):
    """"{3: 1, 7: 0, 27: 0, 32: 1, 36: 0, 18: 0, }" -> {3: 1, 7: 0, ...}, in reply order."""
    levels = {}
    for entry in reply.strip("{} \n").split(","):  # "3: 1", " 7: 0", ..., " "
        if entry.strip():
            pin, level = entry.split(":")
            levels[int(pin)] = int(level)
    return levels


def read_replies(get_pin, replies):
    """Puts each reply line of get_pin on the queue replies as it comes, then
    None when get_pin's output ends."""
    for line in get_pin.stdout:
        replies.put(line)
    replies.put(None)


def stop(get_pin, message):
    """Ends get_pin (a stopped or hung one heeds no gentler signal, hence
    SIGKILL) and this program, with MESSAGE as its one line."""
    get_pin.kill()
    get_pin.wait()
    sys.exit(f"watch_pins.py: {message}")


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
    parser.add_argument("--in-flight", metavar="N", default=8,
                        help="requests unanswered at most (8; 1: wait for each reply)",
                        type=number("positive int", int, lambda n: n > 0))
    parser.add_argument("--timeout", metavar="SECONDS", default=5,
                        help="seconds to wait for a reply (5)",
                        type=number("positive number", float,
                                    lambda n: math.isfinite(n) and n > 0))
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
    # A thread reads the replies, so that waiting for one can time out.
    replies = queue.Queue()
    threading.Thread(target=read_replies, args=(get_pin, replies), daemon=True).start()
    asked = collections.deque()  # when each request not yet answered was sent
    polls = changes = 0
    levels = None
    next_ask = time.monotonic()
    while polls < options.polls or asked:
        now = time.monotonic()
        # One request until the first reply: a slow start (ssh logging in) would
        # bring the next ones to get_pin all at once.
        may_ask = polls < options.polls and len(asked) < (1 if levels is None else options.in_flight)
        if may_ask and now >= next_ask:
            try:
                get_pin.stdin.write("get\n")
                get_pin.stdin.flush()  # the request must leave now, not when a buffer fills
            except BrokenPipeError:
                pass  # get_pin has ended: the reply below is missing and says so
            asked.append(now)
            polls += 1
            # By the clock, but half an interval after this request at the soonest:
            # after a wait for a reply, a burst would leave get_pin a gap as long.
            next_ask = max(next_ask + options.interval, now + options.interval / 2)
            continue
        # The reply, until the oldest request's bound or the next request.
        deadline = min(asked[0] + options.timeout if asked else math.inf,
                       next_ask if may_ask else math.inf)
        try:
            reply = replies.get(timeout=max(deadline - now, 0))
        except queue.Empty:
            if asked and time.monotonic() >= asked[0] + options.timeout:
                stop(get_pin, f"no reply from get_pin in {options.timeout:g} s")
            continue  # time to ask again
        if reply is None:
            stop(get_pin, f"get_pin ended (status {get_pin.wait()})")
        asked.popleft()
        latest = parse_reply(reply)
        if levels is None:
            print("start", latest, flush=True)
            levels = latest
        for pin, level in latest.items():
            if level != levels[pin]:
                print(f"pin {pin}: {levels[pin]} -> {level}", flush=True)
                changes += 1
        levels = latest
        if options.changes and changes >= options.changes:
            break

    get_pin.stdin.write("exit\n")
    get_pin.stdin.close()
    return get_pin.wait()  # 0 after exit


if __name__ == "__main__":
    sys.exit(main())
