#!/bin/bash
# SPDX-License-Identifier: MIT
# watch_pins.sh: how to drive get_pin from a bash script, with `coproc`. It
# starts get_pin, asks "get", reads the reply line into levels[PIN], prints
# the levels, then asks again every --interval seconds and prints a line for
# each level that changed, and ends with "exit":
#
#   start {3: 1, 7: 0, 27: 0, 32: 1, 36: 0, 18: 0}
#   pin 7: 0 -> 1
#
# It stops after --polls requests, or sooner after --changes changes.
#
#   examples/watch_pins.sh [--polls N] [--changes N] [--interval SECONDS] [GET_PIN]
#
# GET_PIN is the get_pin program to run: the argument, else $GET_PIN, else
# get_pin on the PATH. On a machine without a header, with the simulated board:
#
#   printf '%040d' 0 > levels
#   GET_PIN_SIM_LEVELS=levels examples/watch_pins.sh build/host/get_pin
#   (and in another terminal, while it runs:  printf '%06d1%033d' 0 0 > levels)
set -euo pipefail

polls=100 most_changes=0 interval=0.1 get_pin=${GET_PIN:-get_pin}
usage="usage: $0 [--polls N] [--changes N] [--interval SECONDS] [GET_PIN]"
while (($# > 0)); do
    case $1 in
        --polls) polls=$2; shift 2 ;;
        --changes) most_changes=$2; shift 2 ;;
        --interval) interval=$2; shift 2 ;;
        -h | --help) echo "$usage"; exit 0 ;;
        -*) echo "$usage" >&2; exit 2 ;;
        *) get_pin=$1; shift ;;
    esac
done

# get_pin runs beside this script: we write to ${get_pin_io[1]} and read its
# replies from ${get_pin_io[0]}; its standard error stays ours, so that its
# one-line failure message shows.
coproc get_pin_io { exec "$get_pin"; }
# shellcheck disable=SC2154 # coproc sets get_pin_io_PID
get_pin_pid=$get_pin_io_PID # bash forgets it once get_pin has ended
# A get_pin that has ended (say, it could not set up the board) is noticed
# when its reply is missing, rather than by SIGPIPE ending this script.
trap '' PIPE

# Sends "get" and reads the reply into pins (in reply order) and levels[PIN].
ask() {
    echo get 2>/dev/null 1>&"${get_pin_io[1]}" || true
    local reply
    if ! read -r reply <&"${get_pin_io[0]}"; then
        wait "$get_pin_pid" && status=0 || status=$?
        echo "watch_pins.sh: get_pin ended (status $status)" >&2
        exit 1
    fi
    # "{3: 1, 7: 0, 27: 0, 32: 1, 36: 0, 18: 0, }" -> words "3:" "1" "7:" "0" ...
    local words i
    read -r -a words <<<"${reply//[\{\},]/}"
    pins=() levels=()
    for ((i = 0; i < ${#words[@]}; i += 2)); do
        pins+=("${words[i]%:}")
        levels[${words[i]%:}]=${words[i + 1]}
    done
}

ask
start=""
for pin in "${pins[@]}"; do
    start+="${start:+, }$pin: ${levels[pin]}"
done
echo "start {$start}"

changes=0
for ((poll = 1; poll < polls; poll++)); do
    if ((most_changes > 0 && changes >= most_changes)); then
        break
    fi
    sleep "$interval"
    last=()
    for pin in "${pins[@]}"; do
        last[pin]=${levels[pin]}
    done
    ask
    for pin in "${pins[@]}"; do
        if [[ ${levels[pin]} != "${last[pin]}" ]]; then
            echo "pin $pin: ${last[pin]} -> ${levels[pin]}"
            changes=$((changes + 1))
        fi
    done
done

echo exit >&"${get_pin_io[1]}"
wait "$get_pin_pid" # 0 after exit; the script ends with get_pin's status
