#!/bin/bash
# SPDX-License-Identifier: MIT
# The emulated-board system test: boots one of Debian's ARM kernels in qemu
# and runs get_pin programs, unchanged, against a GPIO header chip: a
# simulated one (gpio-sim) on qemu's virt machine, or the real pinctrl-bcm2835
# and pinctrl-bcm2711 drivers on qemu's models of the Raspberry Pi SoCs. The
# same in-machine checks (init.sh) run for every configuration and every
# program.
#
#   tests/board/run_vm_test.sh CONFIG WORK_DIR ROUND_TRIP PROGRAM=FILE...
#   tests/board/run_vm_test.sh update WORK_DIR
#
# CONFIG is a configuration of configs.txt, beside this script: its machine,
# the Debian suite and meta package of its kernel (the kernel is what the
# meta package depends on today), its header chip (gpio-sim or the SoC's real
# driver), the programs it runs and the modules it loads.
# Each PROGRAM=FILE (PROGRAM arm32 or arm64) is a get_pin to check. ROUND_TRIP
# is the machines' GPIO and timing tool (round_trip.cpp), built static so it
# runs on every machine and kernel. GET_PIN_BOARD_PINS names get_pin's pins in
# reply order, the held pin last, and GET_PIN_BOARD_LINES the header chip's line
# of each (tests/board/CMakeLists.txt reads them from the program's tables).
#
# Packages come from the suites named here, through apt configurations of the
# test's own in WORK_DIR/apt (sources, lists, architectures, an empty dpkg
# status), so that any host gives the same machines; "update" brings their
# package lists up to date (a configuration fetches them only when missing or
# older than the sources). forky's Release files as served may be weeks old,
# so its lists are taken whatever their Valid-Until says.
# Every machine runs bookworm's busybox-static, and no other distribution tool:
# every program in it is static, and round_trip reads and holds lines through
# the v2 calls, where gpiod 1.6 (Debian 12's) uses v1, which Debian 14's
# kernels lack. WORK_DIR keeps the downloads (shared by the configurations),
# the built modules and the unpacked qemu, so a second run downloads and
# compiles nothing.
#
# Needs apt-get, the cross compiler of the kernel's architecture,
# qemu-system-arm, cpio, xz, make and fdtput (device-tree-compiler). rpi4's
# qemu is not the host's, on Debian 12 or 13, so that both boot the same
# machine; it uses the host's libraries that qemu-system-arm installs, and
# brings bookworm's of the three whose sonames Debian 13 changed.
# Prints each program's "PASS name: detail" / "FAIL name: detail" lines, then
#   board: CONFIG KERNEL_RELEASE PROGRAM: N/M checks passed
# and exits 0 only if every check of every program passed.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly HERE
# A built-in chip cannot be absent or go away: the real driver has the others.
# Only the real drivers run kernel functions on the header's pins.
readonly COMMON_CHECKS=(header-chip-found lines-held-while-running replies-follow-levels
    pin-18-held-then-released exit-releases-lines line-busy no-permission permission-granted
    closed-standard-input unreadable-chip-skipped kernel-before-5.10)
readonly REAL_CHECKS=("${COMMON_CHECKS[@]}" function-pins-refused)
readonly SIM_CHECKS=(no-header-chip "${COMMON_CHECKS[@]}" header-chip-goes-away)
readonly BOOT_LIMIT_SECONDS=600
readonly POWER_OFF_SECONDS=30
readonly KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg
# The suite of the machines' busybox, and of kbuild and the kernel source.
readonly TOOLS_SUITE=bookworm
# The suite of rpi4's qemu, which the tools' apt configuration lists too.
readonly QEMU_SUITE=bookworm-backports
# The suite of the oldest kernel (rpi3-11), for arm64 alone.
readonly OLD_SUITE=bullseye
# The suite of the newest kernels (the -14 configurations), for arm64 alone.
readonly NEW_SUITE=forky

die() {
    echo "board test: $*" >&2
    exit 1
}
[[ ${1:-} == update || (-n ${GET_PIN_BOARD_PINS:-} && -n ${GET_PIN_BOARD_LINES:-}) ]] ||
    die "GET_PIN_BOARD_PINS and GET_PIN_BOARD_LINES must name get_pin's pins and their lines"

now() { date +%s%N; }

# step_done NAME START: prints how long a step took.
step_done() {
    local elapsed=$((($(now) - $2) / 1000000))
    printf 'board test: %s: %s took %d.%03d s\n' "$CONFIG" "$1" $((elapsed / 1000)) $((elapsed % 1000))
}

# use_config CONFIG: the configuration's entry in configs.txt, and what its
# machine needs, in globals.
use_config() {
    local entry machine programs modules extra
    entry=$(grep -E "^$1 " "$HERE/configs.txt") ||
        die "unknown configuration '$1' (one of $(grep -oE '^[a-z][^ ]*' "$HERE/configs.txt" | paste -sd ' '))"
    read -r CONFIG machine SUITE META LABEL HEADER_LINES MODE programs modules <<<"$entry"
    DTB="" RP1="" DTB_PM_ONLY="" DTB_REMOVE="" DTB_DISABLE=() IMAGE_MODULES=() QEMU_PACKAGES=() CHECK_MODULES=()
    FUNCTION_MODULES=() ONE_WIRE_LINE="" BUILD_SIM=""
    if [[ $MODE == gpio-sim ]]; then
        # The kernel's own gpio-sim module, or one built here.
        MODE=sim IMAGE_MODULES=(fs/configfs/configfs)
        [[ ,$modules, == *,drivers/gpio/gpio-sim,* ]] || BUILD_SIM=yes
    fi
    if [[ $modules != - ]]; then
        IFS=, read -ra extra <<<"$modules"
        IMAGE_MODULES+=("${extra[@]}")
    fi
    case $machine in
    virt:cortex-a15)
        ARCH=armhf KERNEL_ARCH=arm CROSS=arm-linux-gnueabihf-
        QEMU=(qemu-system-arm -M virt -cpu cortex-a15 -m 256 -smp 1)
        ;;
    virt:cortex-a7[26])
        # An a72 has no 16K pages: the 16K kernels take an a76.
        ARCH=arm64 KERNEL_ARCH=arm64 CROSS=aarch64-linux-gnu-
        QEMU=(qemu-system-aarch64 -M virt -cpu "${machine#virt:}" -m 512 -smp 1)
        # No emulator models RP1, the 5th generation's I/O chip: its pin
        # controller's module binds to a node of Debian's tree on memory
        # (rp1_device_tree).
        [[ $MODE != real ]] || DTB=broadcom/bcm2712-rpi-5-b.dtb RP1=yes ONE_WIRE_LINE=4 \
            CHECK_MODULES=(drivers/w1/wire drivers/w1/masters/w1-gpio)
        ;;
    raspi0)
        # armhf tools cannot run on the ARM1176: armel ones. The watchdog
        # that powers the machine off is built in, and so is the i2c driver,
        # which binds at boot to qemu 7.2's stand-ins for the i2c blocks:
        # Debian's tree runs i2c0 and i2c1 on header pins 27 and 3.
        ARCH=armel DTB=bcm2835-rpi-zero.dtb DTB_PM_ONLY=yes
        QEMU=(qemu-system-arm -M raspi0)
        ;;
    raspi2b)
        # Debian's 32-bit kernel on the 2nd generation's SoC. Four cores,
        # emulated in one thread (see boot).
        ARCH=armhf DTB=bcm2836-rpi-2-b.dtb DTB_PM_ONLY=yes FUNCTION_MODULES=(drivers/i2c/busses/i2c-bcm2835)
        QEMU=(qemu-system-arm -M raspi2b -accel "tcg,thread=single")
        ;;
    raspi3b)
        # The console is the PL011, so its bluetooth child must go. Four
        # cores, emulated in one thread (see boot).
        ARCH=arm64 DTB=broadcom/bcm2837-rpi-3-b.dtb DTB_PM_ONLY=yes
        DTB_REMOVE=/soc/serial@7e201000/bluetooth FUNCTION_MODULES=(drivers/i2c/busses/i2c-bcm2835)
        QEMU=(qemu-system-aarch64 -M raspi3b -m 1G -accel "tcg,thread=single")
        ;;
    raspi4b)
        # raspi4b takes only its 2 GiB and its four cores (no -m, no -smp).
        # Blocks it does not model oops at boot when probed (a synchronous
        # external abort): the HDMI side's interrupt controller, its two i2c
        # buses and its clock (in clk_disable_unused); qemu itself disables
        # the pcie, rng, thermal and ethernet nodes.
        ARCH=arm64 DTB=broadcom/bcm2711-rpi-4-b.dtb
        DTB_DISABLE=(interrupt-controller@7ef00100 i2c@7ef04500 i2c@7ef09500 clock@7ef00000)
        # qemu 10 models the SoC's i2c controllers: Debian's tree runs i2c1
        # on lines 2 and 3 and, through a multiplexer (i2c-mux0), i2c0 on
        # lines 0 and 1 or 44 and 45. The 1-Wire check loads the driver of a
        # w1-gpio node added on line 4 (header pin 7).
        FUNCTION_MODULES=(drivers/i2c/busses/i2c-bcm2835 drivers/i2c/i2c-mux
            drivers/i2c/muxes/i2c-mux-pinctrl drivers/i2c/i2c-dev)
        CHECK_MODULES=(drivers/w1/wire drivers/w1/masters/w1-gpio)
        ONE_WIRE_LINE=4
        QEMU=(qemu-system-aarch64 -M raspi4b -accel "tcg,thread=single")
        # Debian 12's qemu (7.2) has no raspi4b: bookworm-backports' qemu
        # 10.0, on Debian 13 too, so that both boot the same machine. There
        # it needs three of bookworm's libraries whose sonames Debian 13
        # changed (libaio.so.1t64, libcapstone.so.5, libfuse3.so.4).
        QEMU_PACKAGES=("qemu-system-arm/$QEMU_SUITE" "qemu-system-common/$QEMU_SUITE"
            "qemu-system-data/$QEMU_SUITE" libaio1 libcapstone4 libfuse3-3)
        ;;
    *) die "configs.txt: $CONFIG's machine '$machine' is none that use_config knows" ;;
    esac
    if [[ $MODE == real ]]; then CHECKS=("${REAL_CHECKS[@]}"); else CHECKS=("${SIM_CHECKS[@]}"); fi
    ((!${#CHECK_MODULES[@]})) || CHECKS+=(i2c-pin-refused one-wire-pin-busy)
}

# write_if_changed FILE: its new content from stdin. apt builds its package
# cache again (seconds) whenever the sources list is newer than the cache.
write_if_changed() {
    local new
    new=$(cat)
    [[ -f $1 && $(<"$1") == "$new" ]] || printf '%s\n' "$new" >"$1"
}

# apt_sources DIR SUITE: the sources list of SUITE's apt configuration, without
# the indexes left out in DIR/left-out ("SUITE ARCH" lines, see use_apt).
apt_sources() {
    local dir=$1 suite=$2
    entry() { # URL SUITE [OPTION...]
        local left=""
        local options=("signed-by=$KEYRING" "${@:3}")
        [[ ! -f $dir/left-out ]] || left=$(sed -n "s/^$2 //p" "$dir/left-out" | paste -sd , -)
        [[ -z $left ]] || options+=("arch-=$left")
        echo "deb [${options[*]}] $1 $2 main"
    }
    {
        if [[ $suite == "$NEW_SUITE" ]]; then
            entry http://deb.debian.org/debian "$suite" check-valid-until=no
        else
            entry http://deb.debian.org/debian "$suite"
        fi
        if [[ $suite != "$OLD_SUITE" && $suite != "$NEW_SUITE" ]]; then
            entry http://deb.debian.org/debian "$suite-updates"
            entry http://deb.debian.org/debian-security "$suite-security"
        fi
        # Its packages are taken only when named with the suite.
        [[ $suite-backports != "$QEMU_SUITE" ]] || entry http://deb.debian.org/debian "$suite-backports"
    } | write_if_changed "$dir/sources.list"
}

# use_apt SUITE [update]: points APT_CONFIG at the test's own configuration
# for SUITE and its updates and security suites (and the backports suite of
# rpi4's qemu), and fetches its package lists when asked to, when there are
# none yet or when the sources changed since. The caller holds the lock of the
# downloads. bullseye (rpi3-11's 5.10 kernel, for arm64) is its main suite
# alone: bullseye-security lists newer 5.10 kernels whose files answer 404.
# forky (the 7.2 kernels, for arm64) is its main suite alone too, taken
# whatever its Valid-Until says: the Release files served may be weeks old.
use_apt() {
    local dir=$WORK/apt/$1 suite=$1 arch machines=(armhf armel arm64) machine list
    export APT_CONFIG=$dir/apt.conf
    mkdir -p "$dir"/{lists/partial,cache/archives/partial,sources.list.d,preferences.d,apt.conf.d}
    arch=$(dpkg --print-architecture)
    [[ $suite != "$OLD_SUITE" && $suite != "$NEW_SUITE" ]] || machines=(arm64)
    for machine in "$arch" "${machines[@]}"; do
        list+="\"$machine\"; "
    done
    apt_sources "$dir" "$suite"
    [[ -f $dir/status ]] || : >"$dir/status"
    # The host's own apt settings and sources stay out; kbuild runs on the host,
    # so its architecture is listed with the machines'.
    write_if_changed "$APT_CONFIG" <<END
Dir::Etc::Main "$dir/none";
Dir::Etc::Parts "$dir/apt.conf.d";
Dir::Etc::SourceList "$dir/sources.list";
Dir::Etc::SourceParts "$dir/sources.list.d";
Dir::Etc::Preferences "$dir/none";
Dir::Etc::PreferencesParts "$dir/preferences.d";
Dir::State "$dir";
Dir::State::Lists "$dir/lists";
Dir::State::status "$dir/status";
Dir::Cache "$dir/cache";
Dir::Cache::srcpkgcache "";
APT::Architecture "$arch";
APT::Architectures { $list};
Acquire::Languages "none";
Acquire::GzipIndexes "true";
END
    [[ ${2:-} == update || ! $dir/lists/.updated -nt $dir/sources.list ]] || return 0
    # A mirror caught syncing can serve an index that its Release does not
    # list ("File has unexpected size", "Hash Sum mismatch"; bookworm-security's
    # armhf index for hours), and apt then keeps none of that Release's new
    # indexes. Tried again; then that suite's index of that architecture is left
    # out (arch-=), with a word, until the next update: the configuration takes
    # its packages from the other suites, an older kernel that its summary line
    # names.
    if [[ ${2:-} == update && -f $dir/left-out ]]; then
        rm "$dir/left-out"
        apt_sources "$dir" "$suite"
    fi
    local attempt broken
    for attempt in 1 2 3; do
        if apt-get update -q >"$dir/update.log" 2>&1 &&
            ! grep -v unsandboxed "$dir/update.log" | grep -q "^[WE]:"; then
            touch "$dir/lists/.updated"
            return 0
        fi
        broken=$(sed -n 's#^E: Failed to fetch [^ ]*/dists/\([^/]*\)/[^ ]*/binary-\([a-z0-9]*\)/.*\(unexpected size\|Hash Sum mismatch\).*#\1 \2#p' \
            "$dir/update.log" | sort -u)
        if [[ -n $broken && $attempt == 2 ]]; then
            echo "$broken" >>"$dir/left-out"
            apt_sources "$dir" "$suite"
            echo "board test: apt-get update ($suite): left out, as the mirror serves it broken:" \
                "$(tr '\n' ' ' <<<"$broken")($(grep -m 1 "^E: Failed to fetch" "$dir/update.log"))"
        fi
    done
    die "apt-get update ($suite) failed $attempt times, the last: $(grep -E "^[WE]:|SHA256|rror" "$dir/update.log" | head -n 4)"
}

# use_work_dir DIR: WORK, and DEBS in it, the downloads that the
# configurations share.
use_work_dir() {
    mkdir -p "$1"
    WORK=$(cd "$1" && pwd)
    DEBS=$WORK/debs
    mkdir -p "$DEBS"
}

# lock_downloads / unlock_downloads: one configuration at a time uses apt and
# DEBS, so that configurations tested side by side can share them.
lock_downloads() {
    exec 9>"$DEBS/.lock"
    flock 9
}

unlock_downloads() {
    exec 9>&-
}

# update_all: every suite's package lists brought up to date, once per run
# before the configurations (unchanged lists cost a few seconds).
update_all() {
    local suite start
    lock_downloads
    for suite in "$OLD_SUITE" bookworm trixie "$NEW_SUITE"; do
        start=$(now)
        use_apt "$suite" update
        step_done "apt-get update $suite" "$start"
    done
    unlock_downloads
}

# The first package that PACKAGE:ARCH depends on whose name matches PATTERN
# (a sed expression with one group), as the current apt configuration knows it.
dependency() {
    apt-cache depends "$1:$ARCH" | sed -n "s/^ *|\\?Depends: <\\?\\($2\\)\\(:[a-z0-9]*\\)\\?>\\?\$/\\1/p" |
        head -n 1
}

# Resolves the kernel release, e.g. 6.1.0-57-arm64, and the packages to
# download from the kernel's suite (KERNEL_PACKAGES, of which unpack takes a
# few files, and HEADER_PACKAGES), and for a module build the kbuild that the
# headers name (KBUILD) and the kernel source (SOURCE), which tool_packages
# takes from the tools' suite. forky's linux-image-RELEASE is empty: it depends on
# linux-binary-RELEASE (the kernel), linux-modules-RELEASE and
# linux-base-RELEASE (the device trees), whose files lie under
# /usr/lib/modules/RELEASE; SPLIT_IMAGE says so.
resolve_packages() {
    local common kbuild
    use_apt "$SUITE"
    RELEASE=$(dependency "$META" 'linux-image-[^:>]*') || true
    RELEASE=${RELEASE#linux-image-}
    [[ -n $RELEASE ]] || die "$SUITE has no $META:$ARCH"
    if [[ -n $(dependency "linux-image-$RELEASE" "linux-binary-$RELEASE") ]]; then
        SPLIT_IMAGE=yes
        KERNEL_PACKAGES=("linux-binary-$RELEASE:$ARCH" "linux-modules-$RELEASE:$ARCH" "linux-base-$RELEASE:$ARCH")
        VMLINUZ=usr/lib/modules/$RELEASE/vmlinuz DTB_DIR=usr/lib/modules/$RELEASE/dtb
    else
        SPLIT_IMAGE=""
        KERNEL_PACKAGES=("linux-image-$RELEASE:$ARCH")
        VMLINUZ=boot/vmlinuz-$RELEASE DTB_DIR=usr/lib/linux-image-$RELEASE
    fi
    HEADER_PACKAGES=() KBUILD="" SOURCE=""
    if [[ -n $BUILD_SIM ]]; then
        common=$(dependency "linux-headers-$RELEASE" 'linux-headers-[^:>]*-common')
        kbuild=$(dependency "linux-headers-$RELEASE" 'linux-kbuild-[^:>]*')
        [[ -n $common && -n $kbuild ]] || die "linux-headers-$RELEASE:$ARCH: no common headers or kbuild"
        KBUILD=$kbuild
        SOURCE=linux-source-$(grep -oE '^[0-9]+\.[0-9]+' <<<"$RELEASE")
        HEADER_PACKAGES=("linux-headers-$RELEASE:$ARCH" "$common")
    fi
}

# tool_packages: busybox and, for a module build, kbuild and the kernel source,
# in the tools' suite, whose apt configuration is in use. A trixie kernel's own
# kbuild needs trixie's C library, so its modules are built with bookworm's
# kbuild of the same release; trixie's kernel can be a few releases ahead of
# bookworm-security's, and then the newest of that series builds them against
# trixie's own headers.
tool_packages() {
    TOOL_PACKAGES=("busybox-static:$ARCH")
    [[ -n $KBUILD ]] || return 0
    KBUILD=${KBUILD/+deb13/+deb12}
    if [[ -z $(apt-cache show "$KBUILD" 2>/dev/null) ]]; then
        local series=${KBUILD%.*}
        KBUILD=$(apt-cache pkgnames "$series." | grep -E "^${series//./\\.}\.[0-9]+\+deb12\$" | sort -V | tail -n 1)
        [[ -n $KBUILD ]] || die "$TOOLS_SUITE has no linux-kbuild of ${series#linux-kbuild-} for $RELEASE"
    fi
    # kbuild runs on this machine: its own architecture.
    TOOL_PACKAGES+=("$KBUILD" "$SOURCE")
}

# fetch LIST PACKAGE...: with the current apt configuration, downloads the
# packages not already in DEBS and adds their files to LIST. Asks apt once for
# all names (each call takes seconds).
fetch() {
    local list=$1 file missing=() partial uris
    shift
    uris=$(apt-get download --print-uris "$@" | awk '{ print $2 }')
    (($(wc -l <<<"$uris") == $#)) || die "apt-get cannot download all of: $*"
    echo "$uris" >>"$list"
    while read -r file; do
        [[ -f $DEBS/$file ]] || missing+=("$file")
    done <<<"$uris"
    if ((${#missing[@]})); then
        partial=$(mktemp -d "$DEBS/partial.XXXXXX")
        (cd "$partial" && apt-get download -q "$@" >download.log 2>&1) ||
            die "apt-get download failed: $(tail -n 3 "$partial/download.log")"
        for file in "${missing[@]}"; do
            mv "$partial/$file" "$DEBS/$file"
        done
        rm -rf "$partial"
    fi
}

# fetch_all LIST: every package of the configuration, its files in LIST.
fetch_all() {
    lock_downloads
    : >"$1"
    resolve_packages
    fetch "$1" "${KERNEL_PACKAGES[@]}" "${HEADER_PACKAGES[@]}"
    use_apt "$TOOLS_SUITE"
    tool_packages
    fetch "$1" "${TOOL_PACKAGES[@]}" "${QEMU_PACKAGES[@]}"
    unlock_downloads
}

# deb_file LIST PACKAGE[:ARCH][/SUITE]: the downloaded file of a package that
# fetch listed.
deb_file() {
    local name=${2%/*}
    name=${name%:*}
    grep -m 1 "^${name}_" "$1" | sed "s|^|$DEBS/|"
}

# image_module ROOT PATH: the unpacked module kernel/PATH.ko of the image,
# under /lib or (trixie) /usr/lib.
image_module() {
    local found
    found=$(find "$1" -path "*/lib/modules/$RELEASE/kernel/$2.ko")
    [[ -n $found ]] || die "linux-image-$RELEASE: no $2.ko"
    echo "$found"
}

# extract ROOT PACKAGE PATTERN...: the files of PACKAGE that match, under ROOT
# (each pattern must match).
extract() {
    local root=$1 package=$2
    shift 2
    (($#)) || return 0
    dpkg-deb --fsys-tarfile "$(deb_file "$LIST" "$package")" | tar -x -C "$root" --wildcards "$@"
}

# unpack ROOT: the kernel, its device tree, the modules the machine loads from
# the image (uncompressed: busybox insmod takes plain .ko files), the headers
# and kbuild, and busybox, under ROOT. Of the image, only what the machine
# needs: the rest is 250 MB of modules.
unpack() {
    local root=$1 package module module_files=() dtb_files=()
    mkdir -p "$root"
    for module in "${IMAGE_MODULES[@]}" "${CHECK_MODULES[@]}" "${FUNCTION_MODULES[@]}"; do
        module_files+=("./*lib/modules/$RELEASE/kernel/$module.ko*")
    done
    [[ -z $DTB ]] || dtb_files=("./$DTB_DIR/$DTB")
    if [[ -n $SPLIT_IMAGE ]]; then
        extract "$root" "linux-binary-$RELEASE" "./$VMLINUZ"
        extract "$root" "linux-modules-$RELEASE" "${module_files[@]}"
        extract "$root" "linux-base-$RELEASE" "${dtb_files[@]}"
    else
        extract "$root" "linux-image-$RELEASE" "./$VMLINUZ" "${module_files[@]}" "${dtb_files[@]}"
    fi
    find "$root" -name '*.ko.xz' -exec xz -d {} +
    for package in "${HEADER_PACKAGES[@]}" "${TOOL_PACKAGES[@]}"; do
        [[ $package == "$SOURCE" ]] || dpkg -x "$(deb_file "$LIST" "$package")" "$root"
    done
}

# patch_sources DIR: the changes that let irq_sim and gpio-sim build as modules
# against Debian's headers (neither is enabled in Debian's kernels). Each must
# take, or the build stops here.
patch_sources() {
    local dir=$1
    # irq_to_desc is not exported to modules.
    sed -i 's/handle_simple_irq(irq_to_desc(irqnum));/generic_handle_irq_safe(irqnum);/' "$dir/irq_sim.c"
    grep -q 'generic_handle_irq_safe(irqnum)' "$dir/irq_sim.c" || die "irq_sim.c: handler call not found"
    # Built into the kernel upstream, so it has no licence of its own.
    printf '\n#include <linux/module.h>\nMODULE_LICENSE("GPL");\n' >>"$dir/irq_sim.c"
    if [[ $KERNEL_ARCH == arm ]]; then
        # modpost built for the host miscounts the 32-bit ARM of_device_id table.
        sed -i '/^MODULE_DEVICE_TABLE(of, /d' "$dir/gpio-sim.c"
        ! grep -q 'MODULE_DEVICE_TABLE(of' "$dir/gpio-sim.c" || die "gpio-sim.c: device table left"
    fi
    echo 'obj-m := irq_sim.o gpio-sim.o' >"$dir/Kbuild"
}

# module_sources DIR: the three source files of the modules, from the kernel
# source tarball, unpacked once for all configurations of its version (it
# takes a minute); the lock makes a configuration beside wait for it.
module_sources() {
    local dir=$1 top=${SOURCE}/ unpacked
    exec 8>"$DEBS/.sources.lock"
    flock 8
    if [[ ! -f $dir/.unpacked ]]; then
        unpacked=$(mktemp -d "$WORK/sources.XXXXXX")
        dpkg-deb --fsys-tarfile "$(deb_file "$LIST" "$SOURCE")" |
            tar -xO "./usr/src/$SOURCE.tar.xz" |
            tar -xJ -C "$unpacked" --strip-components=3 "${top}drivers/gpio/gpio-sim.c" \
                "${top}drivers/gpio/gpiolib.h" "${top}kernel/irq/irq_sim.c"
        rm -rf "$dir" && mkdir -p "${dir%/*}" && mv "$unpacked" "$dir"
        touch "$dir/.unpacked"
    fi
    exec 8>&-
}

# build_modules ROOT OUT: irq_sim.ko and gpio-sim.ko in OUT.
build_modules() {
    local root=$1 out=$2 source headers link sources
    [[ -f $out/gpio-sim.ko && -f $out/irq_sim.ko ]] && return
    source=$out.src
    sources=$WORK/sources/$(basename "$(deb_file "$LIST" "$SOURCE")" .deb)
    module_sources "$sources"
    rm -rf "$source" && mkdir -p "$source"
    cp "$sources"/*.[ch] "$source/"
    patch_sources "$source"
    headers=$root/usr/src/linux-headers-$RELEASE
    # The flavour's headers include the common ones by their installed path.
    sed -i "s|^include .*/usr/src/linux-headers-|include $root/usr/src/linux-headers-|" "$headers/Makefile"
    # The headers' scripts and tools link to their own kbuild: to the one here.
    for link in "$root"/usr/src/linux-headers-*/{scripts,tools}; do
        [[ -L $link ]] && ln -sfn "../../lib/$KBUILD/${link##*/}" "$link"
    done
    # Headers that ship vmlinux would have BTF made for the modules, with
    # pahole. trixie's kernels are configured for GCC 14: the cross compiler
    # here is 12, which has no -fmin-function-alignment (kbuild then aligns
    # with -falign-functions).
    make -s -C "$headers" M="$source" ARCH="$KERNEL_ARCH" CROSS_COMPILE="$CROSS" CC="${CROSS}gcc" \
        CONFIG_DEBUG_INFO_BTF_MODULES= CONFIG_CC_HAS_MIN_FUNCTION_ALIGNMENT= modules >"$source/build.log" 2>&1 ||
        die "module build failed: $(tail -n 20 "$source/build.log")"
    mkdir -p "$out"
    cp "$source/irq_sim.ko" "$source/gpio-sim.ko" "$out/"
    rm -rf "$source"
}

# pack_initramfs ROOT MODULES ROUND_TRIP OUT: busybox, round_trip, the modules
# in their load order and those the checks load themselves, the programs under
# /opt/PROGRAM/get_pin, the machine's settings in /etc/board-test and init.sh
# as /init. Every program is static: the machine has no C library.
pack_initramfs() {
    local root=$1 modules=$2 round_trip=$3 out=$4 stage=$4.d program module order=() later=() functions=()
    rm -rf "$stage"
    mkdir -p "$stage"/{bin,lib/modules,etc,proc,sys,dev,tmp,opt}
    chmod 1777 "$stage/tmp"
    # init links the other applets at start.
    cp "$root/bin/busybox" "$stage/bin/"
    ln -s busybox "$stage/bin/sh"
    cp "$round_trip" "$stage/bin/round_trip"
    for program in "${!PROGRAMS[@]}"; do
        mkdir -p "$stage/opt/$program"
        cp "${PROGRAMS[$program]}" "$stage/opt/$program/get_pin"
    done
    for module in "${IMAGE_MODULES[@]}"; do
        module=$(image_module "$root" "$module") || exit 1
        cp "$module" "$stage/lib/modules/"
        order+=("${module##*/}")
    done
    for module in "${CHECK_MODULES[@]}"; do
        module=$(image_module "$root" "$module") || exit 1
        cp "$module" "$stage/lib/modules/"
        later+=("${module##*/}")
    done
    for module in "${FUNCTION_MODULES[@]}"; do
        module=$(image_module "$root" "$module") || exit 1
        cp "$module" "$stage/lib/modules/"
        functions+=("${module##*/}")
    done
    if [[ -n $BUILD_SIM ]]; then
        cp "$modules/irq_sim.ko" "$modules/gpio-sim.ko" "$stage/lib/modules/"
        order+=(irq_sim.ko gpio-sim.ko)
    fi
    cp "$HERE/init.sh" "$stage/init"
    chmod 755 "$stage/init"
    {
        echo "${ORDER[*]}"
        echo "$MODE $LABEL $HEADER_LINES"
        echo "${order[*]}"
        echo "${later[*]}"
        echo "${functions[*]}"
        echo "$GET_PIN_BOARD_PINS"
        echo "$GET_PIN_BOARD_LINES"
    } >"$stage/etc/board-test"
    printf 'root:x:0:0:root:/:/bin/sh\nuser:x:1000:1000:user:/tmp:/bin/sh\n' >"$stage/etc/passwd"
    printf 'root:x:0:\nuser:x:1000:\n' >"$stage/etc/group"
    (cd "$stage" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet | gzip -1) >"$out"
    rm -rf "$stage"
}

# device_tree ROOT OUT: the board's device tree, changed for qemu. qemu 7.2's
# raspi0 and raspi3b have no power domain block beside the watchdog, whose
# driver would oops probing it, so there the watchdog keeps only its own
# registers, named as the power-off driver expects (DTB_PM_ONLY). Then the
# node DTB_REMOVE goes, the /soc nodes DTB_DISABLE are disabled, and a w1-gpio
# node on ONE_WIRE_LINE is added (its driver loaded by the check alone). Where
# the HDMI port's I2C bus runs, a device on it (the I2C core's "dummy" driver
# binds it) takes line 12 to alt0: one that its bus's driver makes again, under
# the same name as the bus's alias keeps its number. RP1 is no board of qemu's:
# rp1_device_tree.
device_tree() {
    local node gpio
    [[ -z $RP1 ]] || {
        rp1_device_tree "$@"
        return
    }
    cp "$1/$DTB_DIR/$DTB" "$2"
    if [[ $(fdtget "$2" /soc/i2c@7e805000 status 2>/dev/null) == okay ]]; then
        fdtput -c "$2" /soc/gpio@7e200000/test-gpio12 /soc/i2c@7e805000/dummy@50
        fdtput -t u "$2" /soc/gpio@7e200000/test-gpio12 brcm,pins 12
        fdtput -t x "$2" /soc/gpio@7e200000/test-gpio12 brcm,function 4
        fdtput -t x "$2" /soc/gpio@7e200000/test-gpio12 phandle 0x7fff0001
        fdtput -t s "$2" /soc/i2c@7e805000/dummy@50 compatible test,dummy
        fdtput -t x "$2" /soc/i2c@7e805000/dummy@50 reg 0x50
        fdtput -t s "$2" /soc/i2c@7e805000/dummy@50 pinctrl-names default
        fdtput -t x "$2" /soc/i2c@7e805000/dummy@50 pinctrl-0 0x7fff0001
        fdtput -p -t s "$2" /aliases i2c2 /soc/i2c@7e805000
    fi
    if [[ -n $DTB_PM_ONLY ]]; then
        fdtput -t x "$2" /soc/watchdog@7e100000 reg 0x7e100000 0x114
        fdtput -t s "$2" /soc/watchdog@7e100000 reg-names pm
    fi
    [[ -z $DTB_REMOVE ]] || fdtput -r "$2" "$DTB_REMOVE"
    for node in "${DTB_DISABLE[@]}"; do
        fdtput -t s "$2" "/soc/$node" status disabled
    done
    if [[ -n $ONE_WIRE_LINE ]]; then
        gpio=$(fdtget -t x "$2" /soc/gpio@7e200000 phandle)
        fdtput -c "$2" /onewire
        fdtput -t s "$2" /onewire compatible w1-gpio
        fdtput -t x "$2" /onewire gpios "$gpio" "$ONE_WIRE_LINE" 0
    fi
}

# Where rpi5-14's RP1 registers lie: the top 16 MiB of its 512 MiB, far above
# the kernel, the initramfs and the tree that qemu loads.
readonly RP1_BASE=0x5f000000

# rp1_device_tree ROOT OUT: qemu's own virt tree, with RP1's pin controller
# node copied from Debian's tree (its groups and states as they stand), its
# three blocks (gpio, rio, pads; 0xc000 bytes, 0x10000 apart, as on RP1) moved
# into a no-map reserved-memory region, which the driver maps as it maps I/O,
# and its interrupts left out. Two devices take header lines through RP1's
# groups, i2c1_0 (lines 2 and 3) and i2c0_0 (lines 0 and 1), in their default
# states; simple-pm-bus, built into the kernel, binds them without hardware.
# A w1-gpio node takes ONE_WIRE_LINE, as on rpi4. qemu loads the registers'
# reset values (rp1_registers) into the region.
rp1_device_tree() {
    local dts=$2.dts block bus
    "${QEMU[@]}" -machine "dumpdtb=$2" -nic none -nographic >/dev/null 2>&1 || die "qemu: no virt tree"
    dtc -q -I dtb -O dts "$2" >"$dts"
    {
        printf '/ {\n reserved-memory {\n  #address-cells = <2>;\n  #size-cells = <2>;\n  ranges;\n'
        printf '  rp1@%x {\n   reg = <0 %#x 0 0x30000>;\n   no-map;\n  };\n };\n' $((RP1_BASE)) $((RP1_BASE))
        dtc -q -I dtb -O dts "$1/$DTB_DIR/$DTB" |
            awk '/^\t*pinctrl@400d0000 \{/ { on = 1 } on { print; depth += gsub(/\{/, "{") - gsub(/\}/, "}"); on = depth }' |
            sed -e '1s/^\(\t*\)\(.*\)@400d0000/\1rp1_gpio: \2@'"$(printf %x $((RP1_BASE)))"'/' -e '/^\t*interrupts = /d' -e '$d' \
                -e "s/^\(\t*reg = \).*/\1<$(for block in 0 1 2; do printf '0 %#x 0 0xc000 ' $((RP1_BASE + block * 0x10000)); done)>;/"
        printf '  header_i2c1: header-i2c1-state {\n   function = "i2c1";\n   groups = "i2c1_0";\n'
        printf '   drive-strength = <12>;\n   bias-pull-up;\n  };\n'
        printf '  header_i2c0: header-i2c0-state {\n   function = "i2c0";\n   groups = "i2c0_0";\n  };\n };\n'
        for bus in i2c1 i2c0; do
            printf ' header-%s {\n  compatible = "simple-pm-bus";\n  pinctrl-names = "default";\n' $bus
            printf '  pinctrl-0 = <&header_%s>;\n };\n' $bus
        done
        printf ' onewire {\n  compatible = "w1-gpio";\n  gpios = <&rp1_gpio %d 0>;\n };\n' "$ONE_WIRE_LINE"
        echo '};'
    } >>"$dts"
    grep -q 'raspberrypi,rp1-gpio' "$dts" || die "$DTB: no RP1 pin controller"
    dtc -q -I dts -O dtb -o "$2" "$dts"
    rp1_registers "$2.registers"
    QEMU+=(-device "loader,file=$2.registers,addr=$RP1_BASE,force-raw=on")
}

# rp1_registers OUT: RP1's pin-controller blocks at reset. gpio: each line's
# status and control registers (0 and 0x1f: FUNCSEL none, no override); rio:
# zero (every line an input, every level low); pads: each bank's voltage
# select (0) and each line's pad (0x56: pull-down, input enabled, Schmitt
# trigger, 4 mA). docs/emulated-boards.md says where each value comes from.
rp1_registers() {
    local lines=(28 6 20) bank line
    {
        for bank in 0 1 2; do
            for ((line = 0; line < lines[bank]; line++)); do printf '\0\0\0\0\x1f\0\0\0'; done
            head -c $((0x4000 - 8 * lines[bank])) /dev/zero
        done
        # The rest of gpio's 0x10000, and rio.
        head -c $((0x14000)) /dev/zero
        for bank in 0 1 2; do
            printf '\0\0\0\0'
            for ((line = 0; line < lines[bank]; line++)); do printf '\x56\0\0\0'; done
            head -c $((0x4000 - 4 - 4 * lines[bank])) /dev/zero
        done
    } >"$1"
}

# use_own_qemu: rpi4's qemu, unpacked once in WORK/qemu-VERSION, in QEMU: with
# its own modules (QEMU_MODULE_DIR; the host's are another version's, or
# none), data (-L) and libraries (LD_LIBRARY_PATH, /usr/lib and /lib). On
# Debian 12 it still tries the host's display module, and leaves it: "failed
# to initialize module: .../ui-opengl.so", harmless.
use_own_qemu() {
    local version dir package modules triplet output
    version=$(dpkg-deb -f "$(deb_file "$LIST" qemu-system-arm)" Version)
    dir=$WORK/qemu-${version#*:}
    if [[ ! -f $dir/.unpacked ]]; then
        rm -rf "$dir"
        for package in "${QEMU_PACKAGES[@]}"; do
            dpkg -x "$(deb_file "$LIST" "$package")" "$dir"
        done
        touch "$dir/.unpacked"
    fi
    modules=$(find "$dir/usr/lib" -mindepth 2 -maxdepth 2 -type d -name qemu)
    [[ -n $modules ]] || die "qemu $version: no module folder"
    triplet=${modules%/qemu}
    triplet=${triplet##*/}
    QEMU=(env "QEMU_MODULE_DIR=$modules" "LD_LIBRARY_PATH=$dir/usr/lib/$triplet:$dir/lib/$triplet"
        "$dir/usr/bin/${QEMU[0]}" -L "$dir/usr/share/qemu" "${QEMU[@]:1}")
    output=$("${QEMU[@]:0:4}" --version 2>&1) ||
        die "qemu $version from $QEMU_SUITE does not run on this host (install qemu-system-arm for its libraries): $output"
    QEMU_VERSION=$(sed -n '1s/^QEMU emulator version \([^ ]*\).*/\1/p' <<<"$output")
}

# boot VMLINUZ INITRD LOG [DTB]: runs the machine until init powers it off.
# The real driver's levels are set through /dev/mem, which the kernel allows
# on its I/O ranges only with iomem=relaxed. raspi3b and raspi4b have four
# cores, which qemu cannot leave out: the kernel starts one, as the other
# machines have, since wake-ups across emulated cores cost milliseconds; and
# qemu emulates them in one thread (-accel "tcg,thread=single"): with a thread
# each, the three parked cores spin in the boot stub beside the one that works
# (to userspace, raspi3b took 15-20 s instead of 5-6, raspi4b 24-29 s instead
# of 4-6; to power-off, 50-80 s instead of 13-17, 52-59 s instead of 10-11).
#
# The console is read as it comes: a machine that has printed its END but
# does not power off within POWER_OFF_SECONDS (seen once in five runs of rpi,
# under a loaded host, the guest idle) is stopped then, as all it had to say
# is said.
boot() {
    local status=0 args=() append="console=ttyAMA0 rdinit=/init panic=-1 quiet" line=""
    local limit=$BOOT_LIMIT_SECONDS console machine read_status=0
    if [[ -n ${4:-} ]]; then
        args=(-dtb "$4")
        append+=" iomem=relaxed maxcpus=1"
    fi
    exec {console}< <(exec timeout -k 5 "$BOOT_LIMIT_SECONDS" "${QEMU[@]}" "${args[@]}" -nographic \
        -no-reboot -nic none -kernel "$1" -initrd "$2" -append "$append" </dev/null 2>&1)
    machine=$!
    : >"$3"
    while true; do
        IFS= read -r -t "$limit" -u "$console" line || {
            read_status=$?
            break
        }
        printf '%s\n' "$line" >>"$3"
        [[ $line != *"BOARD-TEST END"* ]] || limit=$POWER_OFF_SECONDS
        line=""
    done
    # The last line, if the machine's output ended without a newline.
    [[ -z $line ]] || printf '%s\n' "$line" >>"$3"
    exec {console}<&-
    if ((read_status > 128)); then
        echo "board test: the machine printed nothing for $limit s; stopped"
        kill "$machine" 2>/dev/null || true
    fi
    wait "$machine" || status=$?
    ((status != 124 && status != 137)) || echo "board test: the machine ran past ${BOOT_LIMIT_SECONDS} s"
}

# report_program MARKERS PROGRAM: prints one program's lines and its summary
# line; fails unless every check passed.
report_program() {
    local lines check passed=0
    lines=$(sed -n "/^PROGRAM $2\$/,/^DONE $2\$/p" <<<"$1")
    echo "board test: $CONFIG $RELEASE, $2 program ($(stat -c %s "${PROGRAMS[$2]}") bytes):"
    grep -E '^(PASS|FAIL|INFO) ' <<<"$lines" || true
    for check in "${CHECKS[@]}"; do
        if grep -qE "^PASS $check:" <<<"$lines"; then
            passed=$((passed + 1))
        elif ! grep -qE "^FAIL $check:" <<<"$lines"; then
            echo "FAIL $check: not run"
        fi
    done
    echo "board: $CONFIG $RELEASE $2: $passed/${#CHECKS[@]} checks passed"
    ((passed == ${#CHECKS[@]}))
}

# report LOG: every program's report; fails on a failed check or when init
# did not finish.
report() {
    local markers failed=0 program
    markers=$(tr -d '\r' <"$1" | sed -n 's/^BOARD-TEST //p')
    grep -E '^(FAIL|INFO) machine' <<<"$markers" || true
    for program in "${ORDER[@]}"; do
        report_program "$markers" "$program" || failed=1
    done
    if ! grep -qx END <<<"$markers"; then
        echo "board test: init did not finish; the console's last lines:"
        tr -d '\r' <"$1" | tail -n 30
        failed=1
    fi
    return $failed
}

main() {
    if [[ $# == 2 && $1 == update ]]; then
        CONFIG=update
        use_work_dir "$2"
        update_all
        return
    fi
    (($# >= 4)) || die "usage: run_vm_test.sh CONFIG WORK_DIR ROUND_TRIP PROGRAM=FILE... | update WORK_DIR"
    use_config "$1"
    local round_trip=$3 start program dtb=""
    use_work_dir "$2"
    shift 3
    declare -gA PROGRAMS=()
    ORDER=()
    for program in "$@"; do
        [[ $program =~ ^(arm32|arm64)=(.+)$ && -x ${BASH_REMATCH[2]} ]] ||
            die "'$program' is not PROGRAM=FILE with PROGRAM arm32 or arm64 and an executable FILE"
        PROGRAMS[${BASH_REMATCH[1]}]=${BASH_REMATCH[2]}
        ORDER+=("${BASH_REMATCH[1]}")
    done
    [[ -x $round_trip ]] || die "$round_trip is not an executable"

    start=$(now)
    LIST=$WORK/$CONFIG/packages
    mkdir -p "$WORK/$CONFIG"
    fetch_all "$LIST"
    step_done "apt and download (kernel $RELEASE)" "$start"

    start=$(now)
    local root=$WORK/$CONFIG/root-$RELEASE
    # Unpacked again when the configuration takes other files from the image.
    local taken="${IMAGE_MODULES[*]} ${CHECK_MODULES[*]} ${FUNCTION_MODULES[*]} $DTB"
    if [[ ! -f $root/.unpacked || $(<"$root/.unpacked") != "$taken" ]]; then
        rm -rf "$root"
        unpack "$root"
        echo "$taken" >"$root/.unpacked"
    fi
    [[ -z $BUILD_SIM ]] || build_modules "$root" "$WORK/$CONFIG/modules-$RELEASE"
    step_done "unpack and module build" "$start"

    QEMU_VERSION=""
    if ((${#QEMU_PACKAGES[@]})); then
        start=$(now)
        use_own_qemu
        step_done "qemu $QEMU_VERSION from $QEMU_SUITE" "$start"
    fi

    start=$(now)
    pack_initramfs "$root" "$WORK/$CONFIG/modules-$RELEASE" "$round_trip" "$WORK/$CONFIG/initramfs.gz"
    if [[ -n $DTB ]]; then
        dtb=$WORK/$CONFIG/board.dtb
        device_tree "$root" "$dtb"
    fi
    step_done "initramfs" "$start"

    start=$(now)
    boot "$root/$VMLINUZ" "$WORK/$CONFIG/initramfs.gz" "$WORK/$CONFIG/console.log" "$dtb"
    step_done "boot and checks" "$start"
    report "$WORK/$CONFIG/console.log"
}

main "$@"
