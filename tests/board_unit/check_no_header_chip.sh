#!/bin/bash
# SPDX-License-Identifier: MIT
# Runs the character-device program on a machine without GPIO chips: it must
# end at set-up with status 1, one line on stderr naming the labels it looked
# for, and nothing on stdout, even though a "get" is waiting.
#
#   check_no_header_chip.sh [EMULATOR...] PROGRAM
# Exits 77 (skipped) on a machine that has GPIO chips.
set -euo pipefail

readonly expected='get_pin: find the GPIO chip of the 40-pin header: no /dev/gpiochip* has one of the labels pinctrl-bcm2835 pinctrl-bcm2711 pinctrl-rp1; for another board, build with -DGET_PIN_GPIO_CHIP=/dev/gpiochipN'

if compgen -G '/dev/gpiochip*' >/dev/null; then
    echo "skipped: this machine has GPIO chips"
    exit 77
fi
stderr_file=$(mktemp)
trap 'rm -f "$stderr_file"' EXIT
status=0
stdout=$(printf 'get\n' | timeout 60 "$@" 2>"$stderr_file") || status=$?
failures=0
[[ $status == 1 ]] || { echo "FAIL: status $status, expected 1"; failures=1; }
[[ -z $stdout ]] || { echo "FAIL: stdout: $stdout"; failures=1; }
[[ $(<"$stderr_file") == "$expected" ]] || { echo "FAIL: stderr: $(<"$stderr_file")"; failures=1; }
((failures == 0)) && echo "pass: one line, status 1, nothing on stdout"
