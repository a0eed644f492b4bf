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
# It stops after --polls requests, or sooner after --changes changes. It asks
# by the clock, without waiting for each reply: up to --in-flight requests go
# unanswered, and get_pin answers them in order. Asking every 0.02 s, it sees
# every high that get_pin has sampled on pin 18 while the round trip to get_pin
# stays under 35 ms plus --in-flight less one intervals: 175 ms at the
# defaults, for a board on the network (the README's Timing of pin 18). A
# reply later than --timeout seconds, or a get_pin that ends, ends it with one
# line and status 1, and its get_pin with it.
#
#   examples/watch_pins.sh [--polls N] [--changes N] [--interval SECONDS]
#                          [--in-flight N] [--timeout SECONDS] [GET_PIN]
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
usage="usage: $me [-h] [--polls N] [--changes N] [--interval SECONDS] [--in-flight N]
       [--timeout SECONDS] [GET_PIN]"
help="$usage

Print get_pin's levels and each change.

  GET_PIN              the get_pin command to run, its words separated by blanks, such as
                       'ssh pi@board get_pin' (default: \$GET_PIN, else get_pin on the
                       PATH, else build/host/get_pin in this example's clone)
  -h, --help           show this help message and exit
  --polls N            requests at most (500)
  --changes N          stop after this many (0: no limit)
  --interval SECONDS   seconds between requests (0.02)
  --in-flight N        requests unanswered at most (8; 1: wait for each reply)
  --timeout SECONDS    seconds to wait for a reply (5)"

# Ends this script at once with status 2 after a bad command line.
usage_error() {
    printf '%s\n%s: error: %s\n' "$usage" "$me" "$1" >&2
    exit 2
}

polls=500 most_changes=0 interval=0.02 in_flight=8 timeout=5 command=() given=""
while (($# > 0)); do
    case $1 in
        --polls=* | --changes=* | --interval=* | --in-flight=* | --timeout=*)
            set -- "${1%%=*}" "${1#*=}" "${@:2}"; continue ;;
        --polls | --changes | --interval | --in-flight | --timeout)
            (($# > 1)) || usage_error "argument $1: expected one argument" ;;&
        --polls | --in-flight)
            [[ $2 =~ ^[0-9]+$ && $2 =~ [1-9] ]] || usage_error "argument $1: invalid positive int value: '$2'"
            if [[ $1 == --polls ]]; then polls=$((10#$2)); else in_flight=$((10#$2)); fi
            shift 2 ;;
        --changes)
            [[ $2 =~ ^[0-9]+$ ]] || usage_error "argument $1: invalid non-negative int value: '$2'"
            most_changes=$((10#$2)); shift 2 ;;
        --interval)
            [[ $2 =~ ^([0-9]+\.?[0-9]*|\.[0-9]+)$ ]] ||
                usage_error "argument $1: invalid non-negative number value: '$2'"
            interval=$2; shift 2 ;;
        --timeout)
            [[ $2 =~ ^([0-9]+\.?[0-9]*|\.[0-9]+)$ && $2 =~ [1-9] ]] ||
                usage_error "argument $1: invalid positive number value: '$2'"
            timeout=$2; shift 2 ;;
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

# SECONDS ("0.02") in microseconds (20000), for bash's whole numbers.
microseconds() {
    local whole=${1%%.*} fraction=${1#"${1%%.*}"}
    fraction=${fraction#.}000000
    echo $((10#${whole:-0} * 1000000 + 10#${fraction:0:6}))
}
interval_us=$(microseconds "$interval") timeout_us=$(microseconds "$timeout")

# get_pin runs beside this script: we write to ${get_pin_io[1]} and read its
# replies from ${get_pin_io[0]}; its standard error stays ours, so that its
# one-line failure message shows. The script keeps copies of both pipes, as
# bash closes them and unsets get_pin_io once get_pin has ended. The
# coprocess starts get_pin, says its process ID first, and ends with its
# status: there, bash's own notice of a get_pin killed by a signal ("Killed"),
# which this script's one line says better, comes in a wait, not at whatever
# command this script runs next.
coproc get_pin_io {
    "${command[@]}" <&0 &
    echo "$!"
    wait "$!" 2>/dev/null
}
# shellcheck disable=SC2154 # coproc sets get_pin_io_PID
coprocess=$get_pin_io_PID # bash forgets it once the coprocess has ended
exec {to_get_pin}>&"${get_pin_io[1]}" {from_get_pin}<&"${get_pin_io[0]}"
read -r get_pin_pid <&"$from_get_pin"
# A get_pin that has ended (say, it could not set up the board) is noticed
# when its reply is missing, rather than by SIGPIPE ending this script.
trap '' PIPE

# stop MESSAGE: ends get_pin (SIGKILL: a stopped or hung one heeds no other
# signal) and this script, with MESSAGE as its one line.
stop() {
    kill -KILL "$get_pin_pid" 2>/dev/null || true
    wait "$coprocess" || true
    echo "$me: $1" >&2
    exit 1
}

# take REPLY: the reply into pins (in reply order) and levels[PIN]; prints
# the first as the start and, after it, each change.
take() {
    # "{3: 1, 7: 0, 27: 0, 32: 1, 36: 0, 18: 0, }" -> words "3:" "1" "7:" "0" ...
    local words i pin start=""
    read -r -a words <<<"${1//[\{\},]/}"
    last=()
    for pin in "${pins[@]}"; do
        last[pin]=${levels[pin]}
    done
    pins=() levels=()
    for ((i = 0; i < ${#words[@]}; i += 2)); do
        pins+=("${words[i]%:}")
        levels[${words[i]%:}]=${words[i + 1]}
    done
    for pin in "${pins[@]}"; do
        if ((replies == 0)); then
            start+="${start:+, }$pin: ${levels[pin]}"
        elif [[ ${levels[pin]} != "${last[pin]}" ]]; then
            echo "pin $pin: ${last[pin]} -> ${levels[pin]}"
            changes=$((changes + 1))
        fi
    done
    if ((replies++ == 0)); then
        echo "start {$start}"
    fi
}

# asked: the times (microseconds, $EPOCHREALTIME without its point) of the
# requests not yet answered, oldest first.
asked=() sent=0 replies=0 changes=0 pins=() levels=()
next_ask=${EPOCHREALTIME//[!0-9]/}
while ((sent < polls || ${#asked[@]} > 0)); do
    now=${EPOCHREALTIME//[!0-9]/}
    # One request until the first reply: a slow start (ssh logging in) would
    # bring the next ones to get_pin all at once.
    may_ask=$((sent < polls && ${#asked[@]} < (replies == 0 ? 1 : in_flight)))
    if ((may_ask && now >= next_ask)); then
        # To a get_pin that has ended, the write fails: its missing reply says so.
        echo get 1>&"$to_get_pin" 2>/dev/null || true
        # By the clock, but half an interval after this request at the soonest:
        # after a wait for a reply, a burst would leave get_pin a gap as long.
        asked+=("$now") sent=$((sent + 1)) next_ask=$((next_ask + interval_us))
        next_ask=$((next_ask > now + interval_us / 2 ? next_ask : now + interval_us / 2))
        continue
    fi
    # The reply, until the oldest request's bound or the next request.
    deadline=$((${#asked[@]} > 0 ? asked[0] + timeout_us : next_ask))
    deadline=$((may_ask && next_ask < deadline ? next_ask : deadline))
    wait=$((deadline > now ? deadline - now : 1)) # read -t 0 reads nothing
    printf -v wait '%d.%06d' $((wait / 1000000)) $((wait % 1000000))
    # Only the reply's first byte is waited for with -t: a read that times out
    # can lose the byte it was reading, and take() needs no "{". The rest of
    # the line came with it, in get_pin's one write.
    if IFS= read -r -N 1 -t "$wait" -u "$from_get_pin" first &&
        IFS= read -r -u "$from_get_pin" line; then
        take "$first$line"
        asked=("${asked[@]:1}")
        if ((most_changes > 0 && changes >= most_changes)); then
            break
        fi
    elif (($? > 128)); then
        now=${EPOCHREALTIME//[!0-9]/}
        if ((${#asked[@]} > 0 && now >= asked[0] + timeout_us)); then
            stop "no reply from get_pin in $timeout s"
        fi
    else
        wait "$coprocess" && status=0 || status=$?
        stop "get_pin ended (status $status)"
    fi
done

echo exit >&"$to_get_pin"
wait "$coprocess" # 0 after exit; the script ends with get_pin's status
