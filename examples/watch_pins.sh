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
# It stops after --polls requests, or sooner after --changes changes. Asking
# every 0.02 s, it sees every high that get_pin has sampled on pin 18 (the
# README's Timing of pin 18 says how often a controller must ask).
#
#   examples/watch_pins.sh [--polls N] [--changes N] [--interval SECONDS] [GET_PIN]
#
# GET_PIN is the get_pin command to run, its words separated by blanks, such as
# 'ssh pi@board get_pin' for a board on the network: the argument, else
# $GET_PIN, else get_pin on the PATH, else build/host/get_pin in the clone this
# example is in (the README's Quick start builds it there, for the simulated
# board). On a machine without a header, with the simulated board:
#
#   printf '%040d' 0 > levels
#   GET_PIN_SIM_LEVELS=levels examples/watch_pins.sh
#   (and in another terminal, while it runs:  printf '%06d1%033d' 0 0 > levels)
set -euo pipefail

me=${0##*/}
usage="usage: $me [-h] [--polls N] [--changes N] [--interval SECONDS] [GET_PIN]"
help="$usage

Print get_pin's levels and each change.

  GET_PIN              the get_pin command to run, its words separated by blanks, such as
                       'ssh pi@board get_pin' (default: \$GET_PIN, else get_pin on the
                       PATH, else build/host/get_pin in this example's clone)
  -h, --help           show this help message and exit
  --polls N            requests at most (500)
  --changes N          stop after this many (0: no limit)
  --interval SECONDS   seconds between requests (0.02)"

# Ends this script at once with status 2 after a bad command line.
usage_error() {
    printf '%s\n%s: error: %s\n' "$usage" "$me" "$1" >&2
    exit 2
}

polls=500 most_changes=0 interval=0.02 command=() given=""
while (($# > 0)); do
    case $1 in
        --polls=* | --changes=* | --interval=*) set -- "${1%%=*}" "${1#*=}" "${@:2}"; continue ;;
        --polls | --changes | --interval) (($# > 1)) || usage_error "argument $1: expected one argument" ;;&
        --polls)
            [[ $2 =~ ^[0-9]+$ && $2 =~ [1-9] ]] || usage_error "argument $1: invalid positive int value: '$2'"
            polls=$((10#$2)); shift 2 ;;
        --changes)
            [[ $2 =~ ^[0-9]+$ ]] || usage_error "argument $1: invalid non-negative int value: '$2'"
            most_changes=$((10#$2)); shift 2 ;;
        --interval)
            [[ $2 =~ ^([0-9]+\.?[0-9]*|\.[0-9]+)$ ]] ||
                usage_error "argument $1: invalid non-negative number value: '$2'"
            interval=$2; shift 2 ;;
        -h | --help) echo "$help"; exit 0 ;;
        -?*) usage_error "unrecognized arguments: $1" ;;
        *)
            [[ -z $given ]] || usage_error "unrecognized arguments: $1"
            # The command's words: "ssh pi@board get_pin" -> ssh pi@board get_pin.
            read -r -d '' -a command <<<"$1" || true
            ((${#command[@]} > 0)) || usage_error "argument GET_PIN: empty command: '$1'"
            given=1; shift ;;
    esac
done
if [[ -z $given ]]; then
    read -r -d '' -a command <<<"${GET_PIN:-}" || true
fi
if ((${#command[@]} == 0)); then
    # A path that is one word, whatever blanks the clone's folder has.
    clone_build=$(dirname "$(realpath "$0")")/../build/host/get_pin
    command=(get_pin)
    if ! type -P get_pin >/dev/null && [[ -x $clone_build ]]; then
        command=("$(realpath "$clone_build")")
    fi
fi

# get_pin runs beside this script: we write to ${get_pin_io[1]} and read its
# replies from ${get_pin_io[0]}; its standard error stays ours, so that its
# one-line failure message shows.
coproc get_pin_io { exec "${command[@]}"; }
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

exec {pause}<> <(:)
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
    # Waits for the interval without starting a process (sleep) each time:
    # read times out on a pipe that this script holds open and never writes.
    read -r -t "$interval" -u "$pause" || true
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
