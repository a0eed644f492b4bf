#!/bin/bash
# SPDX-License-Identifier: MIT
# Runs a controller example from examples/ against the simulated board. The
# example must print the levels it starts with; once the levels file has
# changed, a line for each changed pin, in reply order, and for a later change
# only that one; then it must send "exit" and end with status 0 and nothing on
# stderr. Bad option values, and a blank command, must be refused with status 2
# before get_pin starts. A second run with --polls must make exactly that many
# requests. A third, with the example's defaults, must report every one of
# twenty short pulses on pin 18, each held only until get_pin has sampled it.
# The second and third run get_pin as a command with arguments, as a board on
# the network is (ssh pi@board get_pin): `env VAR=... GET_PIN`, from $GET_PIN
# and from the argument, each naming a file that only that command's get_pin
# uses. A get_pin killed mid-run, or stopped (a link gone silent), must end the
# example with one line and status 1, after a stop within --timeout and with
# that get_pin ended. At its defaults, through delay_relay.py given as the
# command (50 ms each way), the example must still report every pulse.
#
#   check_example.sh GET_PIN COMMAND...
#   e.g. GET_PIN_TABLE=build/host/tests/wiring_table \
#       tests/examples/check_example.sh build/host/get_pin python3 examples/watch_pins.py
#
# Every wait is for the example's next line, its end or a line in get_pin's
# trace, bounded by `patience` (the end of the run at the defaults by a minute).
set -euo pipefail

readonly get_pin=$1 patience=20 here=${0%/*}
shift
readonly example_command=("$@")
readonly name=${example_command[-1]##*/}
folder=$(mktemp -d)
example="" far=""
# An example that failed is stopped; its get_pin then meets the end of input,
# unless the test has stopped that get_pin (far).
trap 'if [[ -n $example ]]; then kill "$example" 2>/dev/null || true; fi
    kill -KILL $far 2>/dev/null || true; rm -rf "$folder"' EXIT
export GET_PIN_SIM_LEVELS=$folder/levels GET_PIN_SIM_TRACE=$folder/trace
# The example must flush its own lines, as it does when its output is a pipe.
unset PYTHONUNBUFFERED

fail() {
    echo "FAIL: $*"
    exit 1
}

# The reply's pins in order, the held pin last, from the pin table
# (tests/docs/wiring_table.cpp --pins, named by $GET_PIN_TABLE).
read -ra pins < <("${GET_PIN_TABLE:?must name the pin table printer, tests/docs/wiring_table.cpp}" --pins)
readonly held=${pins[-1]}

# start_line POSITION...: the example's first line, the given pins high.
start_line() {
    local pin level entries=""
    for pin in "${pins[@]}"; do
        level=0
        [[ " $* " != *" $pin "* ]] || level=1
        entries+="${entries:+, }$pin: $level"
    done
    echo "start {$entries}"
}

# Replaces the levels file in one step, as a tool rewriting it would, with the
# given header positions high and the others low.
set_levels() {
    local levels position
    levels=$(printf '%040d' 0)
    for position in "$@"; do
        levels=${levels:0:position-1}1${levels:position}
    done
    printf '%s' "$levels" >"$folder/levels.new"
    mv "$folder/levels.new" "$folder/levels"
}

# expect_line LINE [ABOUT]: the example's next line is LINE (a pattern).
expect_line() {
    local line about=${2:+ ($2)}
    read -r -t "$patience" -u "$output" line || fail "no line in ${patience} s; expected: $1$about"
    # shellcheck disable=SC2053 # a pattern
    [[ $line == $1 ]] || fail "the example printed '$line'; expected: '$1'$about"
}

# expect_end [SECONDS [STATUS ERROR]]: the example printed nothing more, and
# ended (within SECONDS, else `patience`) with status 0 and nothing on stderr,
# or with STATUS and the one line ERROR (a pattern) there.
expect_end() {
    local line bound=${1:-$patience} status=0
    read -r -t "$bound" -u "$output" line && fail "the example printed more: '$line'"
    (($? == 1)) || fail "the example did not end in ${bound} s"
    wait "$example" || status=$?
    ((status == ${2:-0})) || fail "the example ended with status $status"
    # shellcheck disable=SC2053 # a pattern
    [[ $(cat "$folder/errors") == ${3:-} ]] ||
        fail "the example wrote on stderr: '$(cat "$folder/errors")'; expected: '${3:-}'"
}

# wait_for_sample [LINE]: reads get_pin's trace on from where it last stopped
# until a sample of the held pin high (or LINE), waiting a millisecond at a
# time (on a pipe that no one writes, so as to start no process: a pulse must
# stay short) for more.
wait_for_sample() {
    local line="" rest="" deadline=$((SECONDS + patience))
    until [[ $line == "${1:-read $held 1}" ]]; do
        if read -r -u "$trace" line; then
            line=$rest$line rest=""
        else
            rest+=$line line=""
            ((SECONDS < deadline)) || fail "no '${1:-read $held 1}' in get_pin's trace in ${patience} s"
            read -r -t 0.001 -u "$pause" || true
        fi
    done
}

# expect_pulses: twenty short pulses on the held pin, each high only until get_pin
# (its trace on descriptor trace) has sampled it, and low again until the
# example has seen it fall, so that get_pin holds it for no more than its eight
# passes. The levels file is rewritten in place here (a reader that meets it
# half written keeps the last levels), without a process for mv.
expect_pulses() {
    local low high pulse
    low=$(printf '%040d' 0)
    high=${low:0:held-1}1${low:held}
    for ((pulse = 1; pulse <= 20; pulse++)); do
        while read -r -u "$trace" _; do :; done # the samples so far
        printf '%s' "$high" >"$folder/levels"
        wait_for_sample
        printf '%s' "$low" >"$folder/levels"
        expect_line "pin $held: 0 -> 1" "pulse $pulse of 20, sampled by get_pin"
        expect_line "pin $held: 1 -> 0" "pulse $pulse of 20, sampled by get_pin"
    done
}

# expect_usage ARGUMENT...: the example, given these arguments, printed a
# usage line alone on stderr and ended with status 2, and get_pin never started.
expect_usage() {
    local status=0
    "${example_command[@]}" "$@" >"$folder/out" 2>"$folder/errors" || status=$?
    ((status == 2)) || fail "'$*' ended with status $status, not 2"
    [[ ! -s $folder/out && ! -e $folder/trace && $(head -n 1 "$folder/errors") == usage:* ]] ||
        fail "'$*' printed '$(cat "$folder/out" "$folder/errors")', not a usage line alone"
}

# A missing or bad option value, or a command of blanks alone. --help: each
# option, and the program run by default.
for arguments in "--polls" "--interval -1" "--changes x" "--polls 0"; do
    # shellcheck disable=SC2086 # the options are words
    expect_usage "$get_pin" $arguments
done
expect_usage " "
help=$("$@" --help | tr -s ' \n' '  ')
for text in "--polls N" "--changes N" "--interval SECONDS" "command to run" \
    "\$GET_PIN, else get_pin on the PATH"; do
    [[ $help == *"$text"* ]] || fail "--help does not show '$text': $help"
done

set_levels 3 32
exec {output}< <(exec "$@" --polls 2000 --changes 3 --interval 0.01 "$get_pin" 2>"$folder/errors")
example=$!
expect_line "$(start_line 3 32)"
set_levels 7 32 # 3 falls and 7 rises
expect_line "pin 3: 1 -> 0"
expect_line "pin 7: 0 -> 1"
set_levels 7 32 36 # later, 36 rises alone
expect_line "pin 36: 0 -> 1"
# Three changes: the example asks no more, sends "exit" and ends.
expect_end
grep -qx 'read 7 1' "$folder/trace" || fail "get_pin's trace shows no read of pin 7 high"

# Five requests, each a read of pin 3 in get_pin's trace, and no change; the
# command in $GET_PIN gives get_pin levels of its own.
rm "$folder/trace"
set_levels 3 27 36
mv "$folder/levels" "$folder/levels.own"
set_levels 7 32 36
exec {output}< <(GET_PIN="env GET_PIN_SIM_LEVELS=$folder/levels.own $get_pin" exec "$@" \
    --polls 5 --interval 0 2>"$folder/errors")
example=$!
expect_line "$(start_line 3 27 36)" "levels of the command in \$GET_PIN"
expect_end
requests=$(grep -c "^read ${pins[0]} " "$folder/trace")
((requests == 5)) || fail "--polls 5 made $requests requests"

# The defaults: twenty pulses on pin 18. After its last request (about 10 s)
# the example ends. The command given as the argument has get_pin trace to a
# file of its own.
set_levels
exec {output}< <(exec "$@" "env GET_PIN_SIM_TRACE=$folder/trace.own $get_pin" 2>"$folder/errors")
example=$!
expect_line "$(start_line)"
exec {trace}<"$folder/trace.own" {pause}<> <(:)
expect_pulses
expect_end 60

# The example's get_pin (far) killed, then stopped once the example has
# started: one line, status 1; after a stop, within --timeout 1 and a margin,
# with far ended (or a zombie that no one has yet reaped).
for signal in KILL STOP; do
    exec {output}< <(exec "$@" --timeout 1 "$get_pin" 2>"$folder/errors")
    example=$!
    expect_line "start {*}" "before SIG$signal"
    far=$(</proc/"$example"/task/"$example"/children) far=${far%% *}
    if [[ $(</proc/"$far"/comm) != get_pin ]]; then # a coprocess that started it
        far=$(</proc/"$far"/task/"$far"/children) far=${far%% *}
    fi
    kill -"$signal" "$far"
    if [[ $signal == KILL ]]; then
        expect_end "" 1 "$name: get_pin ended (status *)"
    else
        expect_end 4 1 "$name: no reply from get_pin in 1 s"
    fi
    state=$(cat /proc/"$far"/stat 2>/dev/null) || state=""
    [[ $state == "" || $state == *") Z "* ]] || fail "get_pin is left running: $state"
    far=""
done

# The defaults over a slow link: delay_relay.py, 50 ms each way, given as the
# command as ssh would be, runs get_pin with a trace of its own; every pulse.
exec {output}< <(exec "$@" "$here/delay_relay.py 0.05 env GET_PIN_SIM_TRACE=$folder/trace.far $get_pin" \
    2>"$folder/errors")
example=$!
expect_line "start {*}" "through delay_relay.py"
exec {trace}<"$folder/trace.far"
# From the request after the first reply on, requests reach get_pin in turn.
while read -r -u "$trace" _; do :; done
wait_for_sample "read ${pins[0]} 0"
expect_pulses
expect_end 60
echo "pass: $*"
