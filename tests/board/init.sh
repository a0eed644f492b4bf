#!/bin/sh
# SPDX-License-Identifier: MIT
# The init of the emulated ARM machine (busybox sh): runs every check against
# each program named in /etc/board-test ("arm64 arm32": /opt/arm64/get_pin,
# then /opt/arm32/get_pin), on a simulated GPIO header chip made with gpio-sim
# or on the SoC's real one. /etc/board-test holds seven lines: the programs;
# the mode (sim or real), the header chip's label and its number of lines; the
# modules to load, in order; the modules that the checks of the I2C and 1-Wire
# pins of rpi4 load themselves (none: those checks do not run); the modules of
# the kernel functions that the machine can run, in order; get_pin's pins in
# reply order, the held pin last; the header chip's line of each.
# For each it prints "BOARD-TEST PROGRAM <arch>", one "BOARD-TEST PASS|FAIL
# <check>: <detail>" line per check, "BOARD-TEST INFO" lines for measurements
# and "BOARD-TEST DONE <arch>"; then "BOARD-TEST END", and powers the machine
# off. run_vm_test.sh packs it as /init and reads the markers from the serial
# console.
#
# Every wait is bounded in time: a program or tool that hangs fails its check
# instead of stopping the machine, and one that fails ends its check at once
# with a FAIL line naming its error. The host's time limit covers the rest.
# The machine's GPIO tool is round_trip (round_trip.cpp), which uses the GPIO
# character device v2 alone, as get_pin does: Debian 14's kernels have no v1.

# Lists of pins and lines are split on purpose; busybox read has -t.
# shellcheck shell=sh disable=SC2086,SC3045,SC3006,SC3018

PATH=/bin:/usr/bin
export PATH

SIM=/sys/kernel/config/gpio-sim

say() { echo "BOARD-TEST $*"; }
pass() { say "PASS $1: $2"; }
fail() { say "FAIL $1: $2"; }

# check NAME FUNCTION: runs FUNCTION, which leaves its explanation in DETAIL.
check() {
	DETAIL=""
	BROKEN=""
	if "$2"; then pass "$1" "${DETAIL# }"; else fail "$1" "${DETAIL# }"; fi
}

set_up_machine() {
	/bin/busybox --install -s /bin
	mount -t proc proc /proc
	mount -t sysfs sysfs /sys
	mount -t devtmpfs devtmpfs /dev 2>/dev/null
	# The kernel's reports of pins and lines, for the checks of pins that
	# kernel functions use.
	mount -t debugfs debugfs /sys/kernel/debug
	exec </dev/console >/dev/console 2>&1
	# A program that ends early must fail our writes to it, not end init.
	trap '' PIPE
	{
		read -r PROGRAMS
		read -r MODE LABEL HEADER_LINES
		read -r MODULES
		read -r CHECK_MODULES
		read -r FUNCTION_MODULES
		read -r PINS
		read -r LINES
	} </etc/board-test
	# The first pin that get_pin requests and the held pin, the last, and
	# their lines; a pattern of levels for the pins in reply order, and its
	# inverse.
	set -- $PINS
	PIN_COUNT=$# FIRST_PIN=${PINS%% *} HELD_PIN=${PINS##* }
	FIRST_LINE=${LINES%% *} HELD_LINE=${LINES##* }
	PATTERN="" INVERSE="" level=1
	for pin in $PINS; do
		PATTERN="$PATTERN $level" INVERSE="$INVERSE $((1 - level))" level=$((1 - level))
	done
	for module in $MODULES; do
		insmod "/lib/modules/$module" || return 1
	done
	[ "$MODE" = real ] || mount -t configfs configfs /sys/kernel/config
}

# --- Bounded waits and the machine's tool -----------------------------------

# now_cs: NOW, the centiseconds since boot (no process started).
now_cs() {
	read -r up _ </proc/uptime
	part=${up#*.}
	NOW=$((${up%.*} * 100 + ${part#0}))
}

# ended PID: true once the process has ended (gone, or a zombie not yet waited).
ended() {
	[ -r "/proc/$1/stat" ] || return 0
	{ read -r _ _ state _ <"/proc/$1/stat"; } 2>/dev/null || return 0
	[ "$state" = Z ]
}

# wait_end PID [SECONDS]: waits up to SECONDS (10) of the clock; sets STATUS,
# or kills the process and fails. The limits guard against hangs alone, so
# they hold on an emulator that a loaded host slows down.
wait_end() {
	now_cs
	deadline=$((NOW + ${2:-10} * 100))
	until ended "$1"; do
		now_cs
		if [ $NOW -ge $deadline ]; then
			kill -9 "$1"
			wait "$1"
			return 1
		fi
		usleep 10000
	done
	wait "$1"
	STATUS=$?
}

# tool_for SECONDS COMMAND...: runs one of the machine's tools for up to
# SECONDS, its output in OUTPUT. When it fails or hangs, DETAIL names it and
# its error, and BROKEN is set, so that a check stops at once.
tool_for() {
	limit=$1
	shift
	OUTPUT=""
	"$@" </dev/null >/tmp/tool_out 2>/tmp/tool_err &
	if ! wait_end $! "$limit"; then
		DETAIL="$DETAIL '$*' did not end within $limit s;"
		BROKEN=yes
		return 1
	fi
	OUTPUT=$(cat /tmp/tool_out)
	[ "$STATUS" = 0 ] && return 0
	DETAIL="$DETAIL '$*' failed with status $STATUS: '$(tr '\n' ' ' </tmp/tool_err)';"
	BROKEN=yes
	return 1
}

tool() { tool_for 30 "$@"; }

# chips: CHIPS, one line per GPIO chip, "gpiochipN [LABEL] (N lines)".
chips() {
	CHIPS=""
	for chip in /dev/gpiochip*; do
		tool round_trip info "$chip" 0 || return 1
		CHIPS="$CHIPS${OUTPUT%%
*};"
	done
}

# find_real_chip: CHIP, the SoC's header chip by its label; BASE, the address
# of its GPIO block (whose level register follows writes to the set and clear
# registers in qemu, whatever a line's function). The block is at 7e200000 on
# the SoC's bus; /proc/iomem names it by its node on the older SoCs
# ("3f200000-3f2000b3 : gpio@7e200000") and by its device, at the address the
# processor sees, on the bcm2711 ("fe200000-fe2000b3 : fe200000.gpio"). RP1's
# three blocks are its device's, in order: gpio (BASE), rio (RIO) and pads
# (PADS). Its devices bind after the module, each when the kernel gets to it.
find_real_chip() {
	chips || return 1
	CHIP=$(echo "$CHIPS" | tr ';' '\n' | sed -n "s/^\(gpiochip[0-9]*\) \[$LABEL\] .*/\1/p")
	BASE=$(sed -n -E 's/^ *([0-9a-f]*)-[0-9a-f]* : (.*gpio@7e200000|\1\.gpio)$/\1/p' /proc/iomem)
	if [ "$LABEL" = pinctrl-rp1 ]; then
		blocks=$(sed -n 's/^ *\([0-9a-f]*\)-[0-9a-f]* : [0-9a-f]*\.pinctrl .*/\1/p' /proc/iomem)
		set -- $blocks
		BASE=$1 RIO=$2 PADS=$3
		now_cs
		deadline=$((NOW + 1000))
		while [ $NOW -lt $deadline ] && ! states_bound; do
			usleep 10000
			now_cs
		done
		states_bound || DETAIL="$DETAIL devices with pin states left unbound;"
	fi
	[ -z "$DETAIL" ] && [ -n "$CHIP" ] && [ -n "$BASE" ]
}

# states_bound: every platform device with a pin state in the tree is bound.
states_bound() {
	for device in /sys/bus/platform/devices/*; do
		[ ! -e "$device/of_node/pinctrl-0" ] || [ -e "$device/driver" ] || return 1
	done
}

# make_chip NAME LABEL LINES: a live gpio-sim chip; sets CHIP (gpiochipN) and
# PULLS (the directory of its per-line pull files).
make_chip() {
	mkdir "$SIM/$1" "$SIM/$1/bank0" &&
		echo "$3" >"$SIM/$1/bank0/num_lines" &&
		echo "$2" >"$SIM/$1/bank0/label" &&
		echo 1 >"$SIM/$1/live" || return 1
	CHIP=$(cat "$SIM/$1/bank0/chip_name")
	PULLS=/sys/devices/platform/$(cat "$SIM/$1/dev_name")/$CHIP
}

nth() { shift "$1"; echo "$1"; }

line_of() {
	i=1
	for pin in $PINS; do
		[ "$pin" = "$1" ] && nth "$i" $LINES && return
		i=$((i + 1))
	done
}

# drive PIN LEVEL [PIN LEVEL...]: sets the input levels, by pull on gpio-sim
# (keeping each line's last pull in WROTE_<line> for the check after exit),
# through the SoC's set (GPSET0) and clear (GPCLR0) registers at once, or in
# the input register of RP1's bank 0 (RP1_RIO_IN), which nothing else writes.
drive() {
	set_mask=0
	clear_mask=0
	while [ $# -ge 2 ]; do
		line=$(line_of "$1")
		if [ "$MODE" = real ]; then
			if [ "$2" = 1 ]; then
				set_mask=$((set_mask | 1 << line))
			else
				clear_mask=$((clear_mask | 1 << line))
			fi
		else
			if [ "$2" = 1 ]; then pull="pull-up"; else pull="pull-down"; fi
			echo "$pull" >"$PULLS/sim_gpio$line/pull"
			eval "WROTE_$line=$pull"
		fi
		shift 2
	done
	if [ -n "$RIO" ]; then
		levels=$(devmem $((0x$RIO + 8)) 32)
		devmem $((0x$RIO + 8)) 32 $(((levels | set_mask) & ~clear_mask))
		return
	fi
	[ $set_mask = 0 ] || devmem $((0x$BASE + 0x1c)) 32 $set_mask
	[ $clear_mask = 0 ] || devmem $((0x$BASE + 0x28)) 32 $clear_mask
}

# drive_all LEVEL...: the levels of the pins in reply order.
drive_all() {
	pairs=""
	for pin in $PINS; do
		pairs="$pairs $pin $1"
		shift
	done
	drive $pairs
}

# The reply line for levels given in reply order.
reply_for() {
	line="{"
	for pin in $PINS; do
		line="$line$pin: $1, "
		shift
	done
	echo "$line}"
}

# forget_pulls: a new chip starts with gpio-sim's pull-down on every line.
forget_pulls() {
	offset=0
	while [ $offset -lt $HEADER_LINES ]; do
		unset "WROTE_$offset"
		offset=$((offset + 1))
	done
}

# remove_chip NAME: takes a chip made by make_chip away.
remove_chip() {
	[ "$(cat "$SIM/$1/live")" = 0 ] || echo 0 >"$SIM/$1/live"
	rmdir "$SIM/$1/bank0" "$SIM/$1"
}

# bounded COMMAND...: runs COMMAND with input /tmp/get, output /tmp/out and
# errors /tmp/err for up to 30 s; sets STATUS (137 when it had to be killed).
# Not busybox timeout: its watcher outlives the command by up to a second, as
# an orphan of init, and the SIGCHLD of its end interrupts what init is blocked
# in, such as opening a fifo (the shell then ends, and the kernel panics).
bounded() {
	"$@" </tmp/get >/tmp/out 2>/tmp/err &
	wait_end $! 30 || STATUS=137
}

# --- Talking to a running get_pin through two fifos -------------------------

start_program() {
	rm -f /tmp/to_program /tmp/from_program
	mkfifo /tmp/to_program /tmp/from_program
	"$PROGRAM" </tmp/to_program >/tmp/from_program 2>/tmp/program_err &
	RUNNING=$!
	exec 3>/tmp/to_program 4</tmp/from_program
}

# ask: one "get" and its reply in ANSWER (empty when none came in 10 s).
ask() {
	ANSWER=""
	echo get >&3 2>/dev/null
	read -t 10 -r ANSWER <&4
}

# --- Reading the chip's state ------------------------------------------------

# info_line OFFSET: INFO, what the kernel reports of a line of the header chip
# ('line 2 "SDA1": used by "get_pin", input'); fails naming the tool's error.
info_line() {
	tool round_trip info "/dev/$CHIP" "$1" || return 1
	INFO=${OUTPUT#*
}
}

# line_is LINE STATE WHAT: gpioinfo shows LINE as STATE and no other flag (no
# bias, not active-low): an input held by get_pin, or a free one.
line_is() {
	info_line "$1" || return 1
	case $INFO in
	*": $2") return 0 ;;
	esac
	DETAIL="$DETAIL line $1 is not $3 with no other flag: '$INFO';"
	return 1
}

# pulls_as_written: every pull of the header chip is the one this test last
# wrote, or gpio-sim's pull-down where it wrote none. A request with a bias
# would have replaced the pull of its line. On RP1, the pads of get_pin's
# lines are as before it started (PADS_WERE); the SoCs' drivers show no pulls.
pulls_as_written() {
	if [ -n "$PADS" ]; then
		[ "$(pads)" = "$PADS_WERE" ] && return 0
		DETAIL="$DETAIL pads of lines $LINES '$(pads)', were '$PADS_WERE';"
		return 1
	fi
	[ "$MODE" = sim ] || return 0
	offset=0
	result=0
	while [ $offset -lt $HEADER_LINES ]; do
		eval "want=\${WROTE_$offset:-pull-down}"
		got=$(cat "$PULLS/sim_gpio$offset/pull")
		if [ "$got" != "$want" ]; then
			DETAIL="$DETAIL line $offset pull $got, was $want;"
			result=1
		fi
		offset=$((offset + 1))
	done
	return $result
}

# pads: RP1's pad registers of get_pin's lines, all in bank 0.
pads() {
	for line in $LINES; do
		devmem $((0x$PADS + 4 + 4 * line)) 32
	done | xargs
}

# --- Checks ------------------------------------------------------------------

# refused PATTERN [RUNNER...]: get_pin, given "get", ended with status 1, one
# stderr line "get_pin: ..." matching PATTERN (case-insensitive), empty stdout.
refused() {
	pattern=$1
	shift
	printf 'get\n' >/tmp/get
	bounded "$@" "$PROGRAM"
	status=$STATUS
	message=$(head -n 1 /tmp/err)
	DETAIL="status $status, stderr '$message' ($(wc -l </tmp/err) lines), stdout $(wc -c </tmp/out) bytes"
	[ "$status" = 1 ] && [ ! -s /tmp/out ] && [ "$(wc -l </tmp/err)" = 1 ] || return 1
	case $message in
	"get_pin: "*) ;;
	*) return 1 ;;
	esac
	echo "$message" | grep -qi -- "$pattern"
}

no_header_chip() {
	refused "$LABEL"
}

is_reply() {
	pattern="{"
	for pin in $PINS; do
		pattern="$pattern$pin: [01], "
	done
	case $1 in
	$pattern}) ;;
	*) return 1 ;;
	esac
}

header_chip_found() {
	ask
	DETAIL="reply '$ANSWER' from $CHIP among $(echo /dev/gpiochip* | wc -w) chips"
	is_reply "$ANSWER"
}

# The resident memory of the running get_pin, from its page tables: before
# Linux 6.2, VmRSS in /proc/PID/status lags for a process with few page faults.
report_memory() {
	say "INFO memory of get_pin while running:" \
		"$(grep -E '^(Rss|Pss):' "/proc/$RUNNING/smaps_rollup" | tr -s ' \t\n' ' ')"
}

lines_held_while_running() {
	ok=0
	for line in $LINES; do
		line_is "$line" 'used by "get_pin", input' "an input held by get_pin" || ok=1
		[ -z "$BROKEN" ] || return 1
	done
	count=0
	for chip in /dev/gpiochip*; do
		tool round_trip info "$chip" || return 1
		count=$((count + $(echo "$OUTPUT" | grep -c 'used by "get_pin"')))
	done
	if [ "$count" != "$PIN_COUNT" ]; then
		DETAIL="$DETAIL get_pin holds $count lines in all, not $PIN_COUNT;"
		ok=1
	fi
	pulls_as_written || ok=1
	[ $ok = 0 ] && DETAIL="lines $LINES of $CHIP [$LABEL]: input, consumer get_pin, no other flag"
	[ $ok = 0 ] && [ "$MODE" = sim ] && DETAIL="$DETAIL, pulls kept"
	[ $ok = 0 ] && [ -n "$PADS" ] && DETAIL="$DETAIL, pads kept ($PADS_WERE)"
	return $ok
}

# shows LEVELS...: asks until the reply shows LEVELS. The request-time pins
# must be right at once; pin 18 is sampled between requests, so it may take a
# few replies (for at most 10 s; no reply ends the wait).
shows() {
	want=$(reply_for "$@")
	ask
	got=$ANSWER
	case $got in
	"${want%$HELD_PIN: *}$HELD_PIN: "*) ;;
	*)
		DETAIL="$DETAIL first reply '$got', wanted '$want';"
		return 1
		;;
	esac
	now_cs
	deadline=$((NOW + 1000))
	while [ "$got" != "$want" ] && [ -n "$got" ] && [ $NOW -lt $deadline ]; do
		ask
		got=$ANSWER
		now_cs
	done
	if [ "$got" != "$want" ]; then
		DETAIL="$DETAIL reply '$got', wanted '$want';"
		return 1
	fi
}

replies_follow_levels() {
	drive_all $INVERSE && shows $INVERSE || return 1
	drive_all $PATTERN && shows $PATTERN || return 1
	DETAIL="'$(reply_for $PATTERN)' and its inverse"
}

# One high sample of the held pin: drive it high until a reply shows it, drive it
# low, then count the replies that still show it. The held-pin window is
# eight samples and every request is followed by a sample, so at most eight
# replies may show it. HELD is that count.
hold_once() {
	drive_all $PATTERN
	high=$(reply_for $PATTERN | sed "s/ $HELD_PIN: 0/ $HELD_PIN: 1/")
	low=$(reply_for $PATTERN | sed "s/ $HELD_PIN: 1/ $HELD_PIN: 0/")
	drive "$HELD_PIN" 1
	ask
	now_cs
	deadline=$((NOW + 1000))
	while [ "$ANSWER" != "$high" ]; do
		[ -n "$ANSWER" ] && [ $NOW -lt $deadline ] || return 1
		ask
		now_cs
	done
	drive "$HELD_PIN" 0
	HELD=0
	ask
	while [ "$ANSWER" = "$high" ] && [ $HELD -lt 50 ]; do
		HELD=$((HELD + 1))
		ask
	done
	[ "$ANSWER" = "$low" ]
}

# The first reply after the drive shows the high sample unless more than eight
# passes (about 40 ms) went by first: on a busy emulator, try again.
pin_18_held_then_released() {
	for attempt in 1 2 3; do
		if ! hold_once; then
			DETAIL="no reply showed pin 18 high, or it was never released: '$ANSWER'"
			return 1
		fi
		if [ $HELD -ge 1 ] && [ $HELD -le 8 ]; then
			DETAIL="held for $HELD replies after the line went low (attempt $attempt)"
			return 0
		fi
		DETAIL="held for $HELD replies after the line went low, wanted 1 to 8"
		[ $HELD = 0 ] || return 1
	done
	return 1
}

# Read times: one process that requests get_pin's lines and reads them
# (round_trip read) against one get_pin round trip.
measure() {
	DETAIL=""
	tool_for 60 round_trip spawn 40 /bin/round_trip read "/dev/$CHIP" $LINES
	say "INFO timing round_trip read, one process per reading of the $PIN_COUNT lines: $OUTPUT$DETAIL"
	DETAIL=""
	tool_for 60 round_trip talk 200 "$PROGRAM"
	say "INFO timing get_pin, one \"get\" round trip: $OUTPUT$DETAIL"
	DETAIL=""
	tool_for 120 round_trip spawn 5 "$PROGRAM"
	say "INFO timing get_pin set-up, started with no input and ended: $OUTPUT$DETAIL"
}

# finish_program: closes the running get_pin's input, waits up to 10 s for its
# end (STATUS) and takes the rest of its output (REST).
finish_program() {
	exec 3>&-
	wait_end "$RUNNING" || return 1
	REST=$(cat <&4)
	exec 4<&-
}

exit_and_release() {
	echo exit >&3 2>/dev/null
	if ! finish_program; then
		DETAIL="get_pin did not end within 10 s of \"exit\""
		return 1
	fi
	DETAIL="status $STATUS;"
	if [ "$STATUS" != 0 ] || [ -n "$REST" ] || [ -s /tmp/program_err ]; then
		DETAIL="$DETAIL output after exit '$REST', stderr '$(cat /tmp/program_err)'"
		return 1
	fi
	ok=0
	for line in $LINES; do
		line_is "$line" 'unused, input' "a free input" || ok=1
		[ -z "$BROKEN" ] || return 1
	done
	pulls_as_written || ok=1
	[ $ok = 0 ] && DETAIL="$DETAIL $PIN_COUNT lines free inputs"
	[ $ok = 0 ] && [ "$MODE" = sim ] && DETAIL="$DETAIL, all $HEADER_LINES pulls as this test set them"
	[ $ok = 0 ] && [ -n "$PADS" ] && DETAIL="$DETAIL, pads as before"
	return $ok
}

# Another program holds the held pin's line, the last that get_pin requests:
# round_trip hold, which says "held" once it holds it and lets go when its
# input ends.
line_busy() {
	rm -f /tmp/to_holder /tmp/from_holder
	mkfifo /tmp/to_holder /tmp/from_holder
	round_trip hold "/dev/$CHIP" "$HELD_LINE" </tmp/to_holder >/tmp/from_holder 2>/tmp/holder_err &
	holder=$!
	exec 5>/tmp/to_holder 6</tmp/from_holder
	held=""
	read -t 10 -r held <&6
	result=1
	if [ "$held" = held ]; then
		refused "request header pin $HELD_PIN (line $HELD_LINE of /dev/$CHIP): Device or resource busy: .*consumer \"round_trip\""
		result=$?
	fi
	exec 5>&-
	wait_end "$holder" || STATUS="killed"
	exec 6<&-
	if [ "$held" != held ]; then
		DETAIL="'round_trip hold /dev/$CHIP $HELD_LINE' did not hold line $HELD_LINE: status $STATUS, '$(cat /tmp/holder_err)'"
	elif [ "$STATUS" != 0 ]; then
		DETAIL="$DETAIL; the holder ended with status $STATUS: '$(cat /tmp/holder_err)'"
		result=1
	fi
	return $result
}

# The header chip's node is root's alone (devtmpfs makes nodes 0600), as on a
# board where the user is not in the GPIO group; the other chips are open to
# all, so the refusal must name the header chip's node. Refused by a rule above
# the file's mode instead (EPERM, as a container's device cgroup refuses a
# device it was not given), the hint is to pass the device in.
no_permission() {
	chmod 666 /dev/gpiochip*
	chmod 600 "/dev/$CHIP"
	refused "permission" su -s /bin/sh user -c
	result=$?
	echo "$message" | grep -q "/dev/$CHIP" || result=1
	not_allowed=$DETAIL
	refused "open /dev/gpiochip[0-9]*: Operation not permitted: .*pass /dev/gpiochip[0-9]* into the container" \
		round_trip device-not-allowed || result=1
	DETAIL="$not_allowed; $DETAIL"
	return $result
}

# The same user with read-write access to the header chip alone gets replies:
# the refusal was about access, and discovery looks past chips it cannot open.
permission_granted() {
	chmod 600 /dev/gpiochip*
	chmod 666 "/dev/$CHIP"
	printf 'get\nexit\n' >/tmp/get
	bounded su -s /bin/sh user -c "$PROGRAM"
	status=$STATUS
	chmod 600 /dev/gpiochip*
	DETAIL="status $status, reply '$(cat /tmp/out)', stderr '$(cat /tmp/err)'"
	[ "$status" = 0 ] && [ ! -s /tmp/err ] && grep -q "^{$FIRST_PIN: [01], .*$HELD_PIN: [01], }\$" /tmp/out
}

# A node named like a GPIO chip that opens but is no GPIO chip (the null
# device), as a stale node or an expander being unplugged leaves, takes the
# header chip's name, so that it comes first in the scan. With the header
# chip's node out of the scan get_pin names that node's error; with it under a
# later name get_pin looks past the node and answers. The header chip's node
# is only renamed (devtmpfs removes its own nodes alone), and named back after.
unreadable_chip_skipped() {
	mv "/dev/$CHIP" /dev/header-chip && mknod -m 666 "/dev/$CHIP" c 1 3 || return 1
	refused "read chip information of /dev/$CHIP: Inappropriate ioctl"
	result=$?
	alone=$DETAIL
	mv /dev/header-chip /dev/gpiochip99
	printf 'get\nexit\n' >/tmp/get
	bounded "$PROGRAM"
	status=$STATUS
	DETAIL="no header chip: $alone; header chip as gpiochip99: status $status, reply '$(cat /tmp/out)', stderr '$(cat /tmp/err)'"
	rm "/dev/$CHIP"
	mv /dev/gpiochip99 "/dev/$CHIP"
	[ $result = 0 ] && [ "$status" = 0 ] && [ ! -s /tmp/err ] && grep -q "^{$FIRST_PIN: [01], .*$HELD_PIN: [01], }\$" /tmp/out
}

# A kernel before Linux 5.10 has the chip-information call but no GPIO
# character device v2: round_trip makes the v2 calls fail as such a kernel
# does (EINVAL), and get_pin must say so, naming the release to move to.
kernel_before_5_10() {
	refused "request header pin $FIRST_PIN (line $FIRST_LINE of /dev/$CHIP): Invalid argument: the kernel is older than Linux 5.10 .*Debian 11" \
		round_trip before-5.10
}

# function_of LINE: the function of a line of the SoC's GPIO block, from its
# GPFSEL register (0 input, 1 output, 4 alt0, 5 alt1, 6 alt2, 7 alt3, 3 alt4,
# 2 alt5), or on RP1 the FUNCSEL of its control register in bank 0 (0 to 8
# a0 to a8, 5 the GPIO, 0x1f none).
function_of() {
	if [ -n "$RIO" ]; then
		register=$(devmem $((0x$BASE + 4 + 8 * $1)) 32)
		echo $((register & 0x1f))
		return
	fi
	bank=$(($1 / 10))
	register=$(devmem $((0x$BASE + bank * 4)) 32)
	echo $((register >> ($1 % 10 * 3) & 7))
}

# pinmux LINE: the pin controller's own report of a line (debugfs).
pinmux() {
	grep -h "^pin $1 " /sys/kernel/debug/pinctrl/*/pinmux-pins 2>/dev/null | head -n 1
}

# The i2c1 bus (enabled in Debian's device tree) muxes lines 2 and 3 to alt0
# when its driver binds. The SoC's pin controller is not strict and the kernel
# reports the line unused, so a line request would succeed and make line 2 an
# input, taking the bus's data line (seen before get_pin looked): get_pin must
# refuse, naming the device and the function, and leave the pin to the bus.
# On RP1 the device that takes group i2c1_0 sets FUNCSEL 3 (i2c1).
i2c_pin_refused() {
	bus='[0-9a-f]*804000.i2c' function=alt0 want=4
	[ -z "$RIO" ] || bus=header-i2c1 function=i2c1 want=3
	functions_on
	before=$(function_of 2)
	report=$(pinmux 2)
	info_line 2 || INFO="?"
	refused "request header pin 3 (line 2 of /dev/$CHIP): the pin is set to $function for $bus, a kernel function"
	result=$?
	after=$(function_of 2)
	DETAIL="$DETAIL; line 2 function $before before ('$report', '$INFO'), $after after"
	functions_off
	[ $result = 0 ] && [ "$before" = $want ] && [ "$after" = $want ]
}

# A w1-gpio node on line 4 (header pin 7): the 1-Wire driver requests the
# line, so get_pin's request is refused as busy, naming the holder.
one_wire_pin_busy() {
	insmod /lib/modules/wire.ko && insmod /lib/modules/w1-gpio.ko || return 1
	info_line 4 || INFO="?"
	refused "request header pin 7 (line 4 of /dev/$CHIP): Device or resource busy: .*consumer \"onewire\""
	result=$?
	DETAIL="$DETAIL; '$INFO'"
	rmmod w1_gpio wire
	return $result
}

# --- Pins that kernel functions use ------------------------------------------
# The kernel functions that the machine can run (its I2C buses: qemu models the
# SoC's I2C controllers, or leaves blocks that its drivers bind to) are found
# once, at start, and turned off for the other checks by unbinding each device
# from its driver, as the README's fix does. What the kernel's own report
# (pinmux-pins) showed claimed meanwhile is the truth that function-pins-refused
# holds get_pin's verdicts against.

# pin_of LINE: the header pin of one of get_pin's lines.
pin_of() {
	i=1
	for line in $LINES; do
		[ "$line" = "$1" ] && nth "$i" $PINS && return
		i=$((i + 1))
	done
}

# note_claims FILE: adds to FILE each of get_pin's lines whose mux the pin
# controller's report shows claimed, as "LINE DEVICE FUNCTION", but by the
# controller itself, whose own state at boot is the board's setting.
note_claims() {
	for line in $LINES; do
		sed -n "s/^pin $line ([^)]*): \([^ (][^ ]*\) .* function \([^ ]*\) group .*/$line \1 \2/p" \
			/sys/kernel/debug/pinctrl/*/pinmux-pins
	done | grep -v " $CONTROLLER " >>"$1"
}

# driver_of DEVICE: the sysfs folder of a function's driver, from /tmp/functions.
driver_of() {
	grep "^$1 " /tmp/functions | cut -d ' ' -f 2
}

# find_functions: starts the functions (the modules in FUNCTION_MODULES;
# built-in drivers bound at boot), makes one transfer on each channel of an
# I2C multiplexer, which selects that channel's pin state, and so notes every
# claim in /tmp/claims. Then unbinds the devices that claim a line, each noted
# in /tmp/functions with its driver: FUNCTION_DEVICES.
find_functions() {
	for module in $FUNCTION_MODULES; do
		insmod "/lib/modules/$module" || return 1
	done
	CONTROLLER=$(basename "$(dirname "$(readlink -f "/sys/bus/gpio/devices/$CHIP")")")
	: >/tmp/claims
	note_claims /tmp/claims
	for bus in /sys/bus/i2c/devices/i2c-*; do
		case $(readlink -f "$bus") in
		*/i2c-*/i2c-*)
			i2cget -y "${bus##*-}" 0x50 >/dev/null 2>&1 &
			wait_end $! 10
			note_claims /tmp/claims
			;;
		esac
	done
	sort -u -o /tmp/claims /tmp/claims
	FUNCTION_DEVICES=$(cut -d ' ' -f 2 /tmp/claims | sort -u | tr '\n' ' ')
	: >/tmp/functions
	for device in $FUNCTION_DEVICES; do
		# A device is on one bus, in whichever its driver is.
		echo "$device $(readlink -f /sys/bus/*/devices/"$device"/driver)" >>/tmp/functions
	done
	functions_off
	: >/tmp/claims_left
	note_claims /tmp/claims_left
	[ ! -s /tmp/claims_left ]
}

# functions_on / functions_off: binds every device of /tmp/functions to its
# driver, or unbinds it.
functions_on() {
	while read -r device driver; do
		[ -e "$driver/$device" ] || echo "$device" >"$driver/bind"
	done </tmp/functions
}

functions_off() {
	while read -r device driver; do
		[ ! -e "$driver/$device" ] || echo "$device" >"$driver/unbind"
	done </tmp/functions
}

# first_claim DEVICES: the claim of the first line in get_pin's order of
# set-up (its reply order) that one of DEVICES claims, or nothing.
first_claim() {
	for line in $LINES; do
		for device in $1; do
			grep -m 1 "^$line $device " /tmp/claims && return
		done
	done
}

# With every function on, get_pin must refuse exactly the pins whose lines the
# kernel's report claimed, in its order of set-up, naming the device that
# claims each: freeing that one device (unbinding it) takes it to the next,
# and once all are free it answers, while their drivers run on for their other
# devices. With the device tree masked, as a container masks /sys/firmware, it
# must stop at start instead. Then the first device's driver starts while
# get_pin runs: at get_pin's next read, at its exit, or between its look at the
# device and its request, it must end, naming the device, with no reply, as
# the kernel's report shows the device's claim.
function_pins_refused() {
	if [ -z "$FUNCTION_DEVICES" ]; then
		DETAIL="no kernel function claimed one of lines $LINES"
		return 1
	fi
	functions_on
	on=$FUNCTION_DEVICES
	if ! refused "find the kernel functions that hold lines of /dev/$CHIP: No such file or directory: the device tree .*make /sys/firmware visible" \
		unshare -m sh -c 'mount -t tmpfs -o ro tmpfs /sys/firmware && exec "$0"'; then
		DETAIL="/sys/firmware masked: $DETAIL"
		functions_off
		return 1
	fi
	verdicts="refused with /sys/firmware masked, "
	claim=$(first_claim "$on")
	while [ -n "$claim" ]; do
		set -- $claim
		pin=$(pin_of "$1")
		if ! refused "request header pin $pin (line $1 of /dev/$CHIP): the pin is set to $3 for $2, a kernel function that"; then
			DETAIL="pin $pin, claimed by $2 for $3, after '$verdicts': $DETAIL"
			functions_off
			return 1
		fi
		verdicts="${verdicts}pin $pin refused for $2 ($3), "
		echo "$2" >"$(driver_of "$2")/unbind"
		on=$(echo "$on" | tr ' ' '\n' | grep -vx "$2" | tr '\n' ' ')
		claim=$(first_claim "$on")
	done
	: >/tmp/claims_left
	note_claims /tmp/claims_left
	printf 'get\nexit\n' >/tmp/get
	bounded "$PROGRAM"
	answer=$(cat /tmp/out)
	drivers=""
	for driver in $(cut -d ' ' -f 2 /tmp/functions | sort -u); do
		running=$(find "$driver" -maxdepth 1 -type l ! -name module -exec basename {} \; | tr '\n' ' ')
		running=${running% }
		drivers="$drivers ${driver##*/} running ${running:-no device};"
	done
	DETAIL="${verdicts}each device freed alone, claims left '$(tr '\n' ';' </tmp/claims_left)'; then status $STATUS, '$answer', stderr '$(cat /tmp/err)', with${drivers%;}"
	if [ -s /tmp/claims_left ] || [ "$STATUS" != 0 ] || [ -s /tmp/err ] || ! is_reply "$answer"; then
		functions_off
		return 1
	fi
	claim=$(first_claim "$FUNCTION_DEVICES")
	later_driver_ends_program "$claim" get read && later_driver_ends_program "$claim" exit release &&
		driver_between_look_and_request "$claim" || return 1
	[ ! -d /sys/firmware/devicetree/base/soc/i2c@7e805000/dummy@50 ] ||
		device_made_again "$(grep -m 1 '^12 [0-9]*-0050 ' /tmp/claims)"
}

# device_made_again "LINE DEVICE FUNCTION": the I2C device that the machine's
# tree adds on the HDMI port's bus is removed and made again, bound at once,
# as its bus's driver is unbound and bound while get_pin runs: get_pin's next
# read of the line must end it, naming the device.
device_made_again() {
	set -- $1
	earlier=$DETAIL
	bus=$(readlink -f /sys/bus/i2c/devices/"$2"/../..)
	start_program
	ask
	before=$ANSWER
	echo "${bus##*/}" >"$bus/driver/unbind"
	gone=$(ls /sys/bus/i2c/devices)
	echo "${bus##*/}" >/sys/bus/platform/drivers/i2c-bcm2835/bind
	ask
	finish_program || STATUS=killed
	message=$(head -n 1 /tmp/program_err)
	functions_off
	DETAIL="$earlier; $2 removed ('$gone' left) and made again by ${bus##*/}'s driver: reply '$before' before, '$ANSWER$REST' after, status $STATUS, stderr '$message'"
	is_reply "$before" && [ -z "$ANSWER$REST" ] && [ "$STATUS" = 1 ] && started_after "$1 $2 $3" read
}

# started_after "LINE DEVICE FUNCTION" STEP: the message is get_pin's word on
# the device's driver that started after it looked, at STEP of the line.
started_after() {
	set -- $1 "$2"
	case $message in
	"get_pin: $4 header pin $(pin_of "$1") (line $1 of /dev/$CHIP): the pin is set to $3 for $2, a kernel function whose driver started after get_pin; the pin goes back to GPIO input"*) ;;
	*) return 1 ;;
	esac
}

# later_driver_ends_program "LINE DEVICE FUNCTION" WORD STEP: get_pin is
# answering when the device's driver starts; then WORD (get or exit) ends it
# at STEP (read or release). Once it has ended, the kernel still names the
# device in its report while the pin is a GPIO input again.
later_driver_ends_program() {
	claim=$1
	set -- $1 "$2" "$3"
	driver=$(driver_of "$2")
	start_program
	ask
	before=$ANSWER
	ANSWER=""
	echo "$2" >"$driver/bind"
	echo "$4" >&3 2>/dev/null
	[ "$4" = exit ] || read -t 10 -r ANSWER <&4
	finish_program || STATUS=killed
	report=$(grep -h "^pin $1 " /sys/kernel/debug/pinctrl/*/pinmux-pins)
	message=$(head -n 1 /tmp/program_err)
	function=$(function_of "$1")
	functions_off
	DETAIL="$DETAIL; $2's driver started while get_pin ran, then '$4': reply '$before' before, '$ANSWER$REST' after, status $STATUS, stderr '$message', the kernel's report '$report', the line's function (GPFSEL) $function"
	# On rpi5-14 the release leaves the control register's FUNCSEL as the
	# function set it (3, i2c1): only the SoC's drivers are held to GPIO input.
	[ -n "$RIO" ] || [ "$function" = 0 ] || return 1
	is_reply "$before" && [ -z "$ANSWER$REST" ] && [ "$STATUS" = 1 ] &&
		started_after "$claim" "$5" || return 1
	case $report in
	*": $2 "*" function $3 "*) ;;
	*) return 1 ;;
	esac
}

# driver_between_look_and_request "LINE DEVICE FUNCTION": the device's driver
# starts while get_pin is finding the holders, after its look at the device:
# get_pin's read of the device's states is paused on a fifo mounted over them
# in a mount namespace of its own, and the fifo's writer binds the driver
# before it lets get_pin read on. Set-up must end at the line's request.
driver_between_look_and_request() {
	set -- $1
	earlier=$DETAIL
	node=$(readlink -f /sys/bus/*/devices/"$2"/of_node)
	rm -f /tmp/pause
	mkfifo /tmp/pause
	sh -c 'exec 7>/tmp/pause; echo "$1" >"$2/bind"; cat "$3/pinctrl-names" >&7' sh "$2" "$(driver_of "$2")" "$node" &
	writer=$!
	refused "request header pin" unshare -m sh -c "mount -o bind /tmp/pause $node/pinctrl-names && exec \"\$0\""
	result=$?
	started_after "$1 $2 $3" request || result=1
	wait_end "$writer" 10 || result=1
	functions_off
	DETAIL="$earlier; $2's driver started between get_pin's look and its request: $DETAIL"
	return $result
}

# Started with standard input closed, get_pin must refuse before it opens the
# header chip, whose descriptor would otherwise be 0 and be read for commands.
closed_standard_input() {
	refused "standard input: Bad file descriptor" sh -c 'exec "$0" <&-'
}

# The header chip goes away while get_pin runs, as when its driver is unbound.
# get_pin samples pin 18 in every pass, so its next read fails within about
# 5 ms, before or at the next "get": it must end with status 1 and one line on
# stderr, and never answer with levels it could not read. A kernel that refuses
# to take the chip away while lines are requested must leave get_pin answering.
header_chip_goes_away() {
	start_program
	ask
	if ! is_reply "$ANSWER"; then
		DETAIL="no reply before the chip went away: '$ANSWER'"
		return 1
	fi
	if ! echo 0 2>/tmp/live_err >"$SIM/header/live"; then
		ask
		refusal="the kernel refused to take the chip away ($(cat /tmp/live_err)), reply after '$ANSWER'"
		result=1
		is_reply "$ANSWER" && exit_and_release && result=0
		DETAIL="$refusal; $DETAIL"
		return $result
	fi
	ask
	reply=$ANSWER
	if ! finish_program; then
		DETAIL="get_pin still ran 10 s after its chip went away"
		return 1
	fi
	message=$(head -n 1 /tmp/program_err)
	DETAIL="status $STATUS, stderr '$message' ($(wc -l </tmp/program_err) lines), reply after '$reply$REST'"
	[ "$STATUS" = 1 ] && [ -z "$reply$REST" ] && [ "$(wc -l </tmp/program_err)" = 1 ] || return 1
	case $message in
	"get_pin: read header pin "*) ;;
	*) return 1 ;;
	esac
}

# run_program PROGRAM: every check against /opt/PROGRAM/get_pin. On gpio-sim,
# from a machine with no header chip to one whose header chip went away; a
# built-in chip can be neither, so the real driver has the checks between.
run_program() {
	PROGRAM=/opt/$1/get_pin
	say "PROGRAM $1"
	forget_pulls
	if [ "$MODE" = sim ]; then
		check no-header-chip no_header_chip
		make_chip header "$LABEL" "$HEADER_LINES" || fail machine "gpio-sim chip not made"
	fi
	drive_all $PATTERN
	[ -z "$PADS" ] || PADS_WERE=$(pads)
	start_program
	check header-chip-found header_chip_found
	report_memory
	check lines-held-while-running lines_held_while_running
	check replies-follow-levels replies_follow_levels
	check pin-18-held-then-released pin_18_held_then_released
	check exit-releases-lines exit_and_release

	check line-busy line_busy
	check no-permission no_permission
	check permission-granted permission_granted
	check closed-standard-input closed_standard_input
	check unreadable-chip-skipped unreadable_chip_skipped
	check kernel-before-5.10 kernel_before_5_10
	[ "$MODE" = sim ] || check function-pins-refused function_pins_refused
	if [ -n "$CHECK_MODULES" ]; then
		check i2c-pin-refused i2c_pin_refused
		check one-wire-pin-busy one_wire_pin_busy
	fi
	measure
	if [ "$MODE" = sim ]; then
		check header-chip-goes-away header_chip_goes_away
		remove_chip header
	fi
	say "DONE $1"
}

main() {
	if ! set_up_machine; then
		fail machine "loading the modules ($MODULES) failed"
		return
	fi
	if [ "$MODE" = real ]; then
		DETAIL=""
		if ! find_real_chip; then
			fail machine "no [$LABEL] chip or GPIO block: $CHIPS$DETAIL"
			return
		fi
		say "INFO machine: $CHIPS GPIO block at 0x$BASE"
		if ! find_functions; then
			fail machine "the kernel functions (modules $FUNCTION_MODULES) could not be started and turned off: claims $(tr '\n' ';' </tmp/claims), left $(tr '\n' ';' </tmp/claims_left 2>/dev/null)"
			return
		fi
		say "INFO kernel functions claiming get_pin's lines: $(tr '\n' ';' </tmp/claims) now turned off"
	else
		# A chip whose label is in no header table, present throughout, so
		# that discovery has to look past it.
		make_chip other gpio-other "$HEADER_LINES" || fail machine "gpio-sim chip not made"
	fi
	for program in $PROGRAMS; do
		run_program "$program"
	done
}

main
say END
poweroff -f
