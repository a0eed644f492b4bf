#!/bin/bash
# SPDX-License-Identifier: MIT
# The emulated-board system test: boots one of Debian's ARM kernels in qemu
# with a simulated GPIO header chip (gpio-sim) and runs get_pin programs,
# unchanged, against it. The same in-machine checks (init.sh) run for every
# kernel and every program.
#
#   tests/board/run_vm_test.sh KERNEL WORK_DIR ROUND_TRIP ARCH=PROGRAM...
#
# KERNEL is one of
#   armmp      what linux-image-armmp:armhf depends on; qemu-system-arm -M virt
#   arm64      what linux-image-arm64:arm64 depends on (4K pages, 32-bit
#              programs through the kernel's compat layer); qemu-system-aarch64
#              -M virt -cpu cortex-a72
#   arm64-16k  what linux-image-6.12-arm64-16k:arm64 depends on (16K pages, as
#              on the newest boards); -cpu cortex-a76 (an a72 has no 16K pages)
# Each ARCH=PROGRAM (ARCH armhf or arm64) is a get_pin to check. ROUND_TRIP is
# the timing tool (round_trip.cpp), built static so it runs on every kernel.
# WORK_DIR keeps the downloaded Debian packages (shared by the kernels) and the
# built modules, so a second run downloads and compiles nothing.
#
# Needs apt-get with the machine's architecture enabled in dpkg (armhf, arm64),
# that architecture's cross compiler, qemu-system-arm, cpio, xz and make.
# Prints each program's "PASS name: detail" / "FAIL name: detail" lines, then
#   board: KERNEL_RELEASE ARCH: N/M checks passed
# and exits 0 only if every check of every program passed.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly HERE
readonly CHECKS=(no-header-chip header-chip-found lines-held-while-running replies-follow-levels
    pin-18-held-then-released exit-releases-lines line-busy no-permission permission-granted
    header-chip-goes-away)
readonly BOOT_LIMIT_SECONDS=600

die() {
    echo "board test: $*" >&2
    exit 1
}

now() { date +%s%N; }

# step_done NAME START: prints how long a step took.
step_done() {
    local elapsed=$((($(now) - $2) / 1000000))
    printf 'board test: %s: %s took %d.%03d s\n' "$KERNEL" "$1" $((elapsed / 1000)) $((elapsed % 1000))
}

# use_kernel KERNEL: what each kernel needs, in globals.
use_kernel() {
    KERNEL=$1
    case $KERNEL in
    armmp)
        ARCH=armhf KERNEL_ARCH=arm CROSS=arm-linux-gnueabihf- META=linux-image-armmp
        QEMU=(qemu-system-arm -M virt -cpu cortex-a15 -m 256)
        ;;
    arm64)
        ARCH=arm64 KERNEL_ARCH=arm64 CROSS=aarch64-linux-gnu- META=linux-image-arm64
        QEMU=(qemu-system-aarch64 -M virt -cpu cortex-a72 -m 512)
        ;;
    arm64-16k)
        ARCH=arm64 KERNEL_ARCH=arm64 CROSS=aarch64-linux-gnu- META=linux-image-6.12-arm64-16k
        QEMU=(qemu-system-aarch64 -M virt -cpu cortex-a76 -m 512)
        ;;
    *) die "unknown kernel '$KERNEL' (armmp, arm64 or arm64-16k)" ;;
    esac
}

# The first package that PACKAGE:ARCH depends on whose name matches PATTERN
# (a sed expression with one group), as apt knows it now.
dependency() {
    apt-cache depends "$1:$ARCH" | sed -n "s/^ *|\\?Depends: <\\?\\($2\\)\\(:[a-z0-9]*\\)\\?>\\?\$/\\1/p" |
        head -n 1
}

# Resolves the kernel release and the packages to download, e.g. 6.1.0-57-arm64.
resolve_packages() {
    RELEASE=$(dependency "$META" 'linux-image-[^:>]*') || true
    RELEASE=${RELEASE#linux-image-}
    [[ -n $RELEASE ]] || die "apt-cache knows no $META:$ARCH (dpkg --add-architecture $ARCH; apt-get update)"
    local common kbuild
    common=$(dependency "linux-headers-$RELEASE" 'linux-headers-[^:>]*-common')
    kbuild=$(dependency "linux-headers-$RELEASE" 'linux-kbuild-[^:>]*')
    [[ -n $common && -n $kbuild ]] || die "linux-headers-$RELEASE:$ARCH: no common headers or kbuild"
    SOURCE=linux-source-$(grep -oE '^[0-9]+\.[0-9]+' <<<"$RELEASE")
    # kbuild runs on this machine: its own architecture.
    PACKAGES=("linux-image-$RELEASE:$ARCH" "linux-headers-$RELEASE:$ARCH" "$common" "$kbuild"
        "$SOURCE" "busybox-static:$ARCH" "gpiod:$ARCH" "libgpiod2:$ARCH")
}

# fetch DEBS LIST PACKAGE...: downloads the packages not already in DEBS and
# lists their files in LIST. Asks apt once for all names (each call takes
# seconds); the lock lets kernels tested side by side share DEBS.
fetch() {
    local debs=$1 list=$2 file missing=() partial
    shift 2
    mkdir -p "$debs"
    exec 9>"$debs/.lock"
    flock 9
    apt-get download --print-uris "$@" | awk '{ print $2 }' >"$list"
    (($(wc -l <"$list") == $#)) || die "apt-get cannot download all of: $*"
    while read -r file; do
        [[ -f $debs/$file ]] || missing+=("$file")
    done <"$list"
    if ((${#missing[@]})); then
        partial=$(mktemp -d "$debs/partial.XXXXXX")
        (cd "$partial" && apt-get download -q "$@" >download.log 2>&1) ||
            die "apt-get download failed: $(tail -n 3 "$partial/download.log")"
        for file in "${missing[@]}"; do
            mv "$partial/$file" "$debs/$file"
        done
        rm -rf "$partial"
    fi
    exec 9>&-
}

# deb_file LIST PACKAGE: the downloaded file of a package that fetch listed.
deb_file() {
    local name=${2%:*}
    grep -m 1 "^${name}_" "$1" | sed "s|^|$DEBS/|"
}

# unpack ROOT: the kernel, its configfs module (uncompressed: busybox insmod
# takes plain .ko files), the headers and kbuild, busybox and the gpiod tools
# with their library, under ROOT.
unpack() {
    local root=$1 package module
    mkdir -p "$root"
    # Of the image, only what the machine needs: the rest is 250 MB of modules.
    dpkg-deb --fsys-tarfile "$(deb_file "$LIST" "linux-image-$RELEASE")" |
        tar -x -C "$root" --wildcards "./boot/vmlinuz-$RELEASE" \
            "./lib/modules/$RELEASE/kernel/fs/configfs/configfs.ko*"
    module=$root/lib/modules/$RELEASE/kernel/fs/configfs/configfs.ko
    [[ -f $module.xz ]] && xz -d "$module.xz"
    for package in "${PACKAGES[@]:1}"; do
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

# build_modules ROOT OUT: irq_sim.ko and gpio-sim.ko in OUT.
build_modules() {
    local root=$1 out=$2 source headers top
    [[ -f $out/gpio-sim.ko && -f $out/irq_sim.ko ]] && return
    source=$out.src
    top=${SOURCE}/
    rm -rf "$source" && mkdir -p "$source"
    dpkg-deb --fsys-tarfile "$(deb_file "$LIST" "$SOURCE")" |
        tar -xO "./usr/src/$SOURCE.tar.xz" |
        tar -xJ -C "$source" --strip-components=3 "${top}drivers/gpio/gpio-sim.c" \
            "${top}drivers/gpio/gpiolib.h" "${top}kernel/irq/irq_sim.c"
    patch_sources "$source"
    headers=$root/usr/src/linux-headers-$RELEASE
    # The flavour's headers include the common ones by their installed path.
    sed -i "s|^include .*/usr/src/linux-headers-|include $root/usr/src/linux-headers-|" "$headers/Makefile"
    # Headers that ship vmlinux would have BTF made for the modules, with pahole.
    make -s -C "$headers" M="$source" ARCH="$KERNEL_ARCH" CROSS_COMPILE="$CROSS" \
        CONFIG_DEBUG_INFO_BTF_MODULES= modules >"$source/build.log" 2>&1 ||
        die "module build failed: $(tail -n 20 "$source/build.log")"
    mkdir -p "$out"
    cp "$source/irq_sim.ko" "$source/gpio-sim.ko" "$out/"
    rm -rf "$source"
}

# The GNU triplet of an ELF file's architecture, where its libraries live.
triplet_of() {
    case $(readelf -h "$1" | sed -n 's/^ *Machine: *//p') in
    ARM) echo arm-linux-gnueabihf ;;
    AArch64) echo aarch64-linux-gnu ;;
    *) die "$1: not an ARM program" ;;
    esac
}

# copy_libraries STAGE ROOT: copies the loader and libraries that the programs
# in STAGE need, and theirs. Each architecture's libraries go to
# /lib/TRIPLET, where its loader looks, so that armhf and arm64 programs can
# share the machine.
copy_libraries() {
    local stage=$1 root=$2 queue=() file triplet name dir found interpreter
    mapfile -t queue < <(find "$stage/bin" "$stage/usr/bin" "$stage/opt" -type f ! -name busybox)
    while ((${#queue[@]})); do
        file=${queue[0]}
        queue=("${queue[@]:1}")
        triplet=$(triplet_of "$file")
        interpreter=$(readelf -lW "$file" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
        if [[ -n $interpreter && ! -e $stage$interpreter ]]; then
            cp -L "/usr/$triplet/lib/${interpreter##*/}" "$stage$interpreter"
        fi
        while read -r name; do
            [[ -e $stage/lib/$triplet/$name ]] && continue
            found=""
            for dir in "$root/usr/lib/$triplet" "$root/lib/$triplet" "/usr/$triplet/lib"; do
                [[ -e $dir/$name ]] && found=$dir/$name && break
            done
            [[ -n $found ]] || die "no $triplet $name for $file"
            mkdir -p "$stage/lib/$triplet"
            cp -L "$found" "$stage/lib/$triplet/$name"
            queue+=("$stage/lib/$triplet/$name")
        done < <(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    done
}

# pack_initramfs ROOT MODULES ROUND_TRIP OUT: busybox, the gpiod tools, the
# modules, the programs under /opt/ARCH/get_pin and init.sh as /init.
pack_initramfs() {
    local root=$1 modules=$2 round_trip=$3 out=$4 stage=$4.d arch
    rm -rf "$stage"
    mkdir -p "$stage"/{bin,usr/bin,lib/modules,etc,proc,sys,dev,tmp,opt}
    chmod 1777 "$stage/tmp"
    # init links the other applets at start.
    cp "$root/bin/busybox" "$stage/bin/"
    ln -s busybox "$stage/bin/sh"
    cp "$round_trip" "$stage/bin/round_trip"
    for arch in "${!PROGRAMS[@]}"; do
        mkdir -p "$stage/opt/$arch"
        cp "${PROGRAMS[$arch]}" "$stage/opt/$arch/get_pin"
    done
    cp "$root"/usr/bin/gpio{get,info,mon} "$stage/usr/bin/"
    cp "$root/lib/modules/$RELEASE/kernel/fs/configfs/configfs.ko" "$modules"/*.ko "$stage/lib/modules/"
    copy_libraries "$stage" "$root"
    cp "$HERE/init.sh" "$stage/init"
    chmod 755 "$stage/init"
    echo "${ORDER[*]}" >"$stage/etc/board-test"
    printf 'root:x:0:0:root:/:/bin/sh\nuser:x:1000:1000:user:/tmp:/bin/sh\n' >"$stage/etc/passwd"
    printf 'root:x:0:\nuser:x:1000:\n' >"$stage/etc/group"
    (cd "$stage" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet | gzip -1) >"$out"
    rm -rf "$stage"
}

# boot VMLINUZ INITRD LOG: runs the machine until init powers it off.
boot() {
    local status=0
    timeout -k 5 "$BOOT_LIMIT_SECONDS" "${QEMU[@]}" -smp 1 -nographic -no-reboot -nic none \
        -kernel "$1" -initrd "$2" -append "console=ttyAMA0 rdinit=/init panic=-1 quiet" \
        </dev/null >"$3" 2>&1 || status=$?
    ((status != 124 && status != 137)) || echo "board test: the machine ran past ${BOOT_LIMIT_SECONDS} s"
}

# report_program MARKERS ARCH: prints one program's lines and its summary
# line; fails unless every check passed.
report_program() {
    local lines check passed=0
    lines=$(sed -n "/^PROGRAM $2\$/,/^DONE $2\$/p" <<<"$1")
    echo "board test: $RELEASE, $2 program ($(stat -c %s "${PROGRAMS[$2]}") bytes):"
    grep -E '^(PASS|FAIL|INFO) ' <<<"$lines" || true
    for check in "${CHECKS[@]}"; do
        if grep -qE "^PASS $check:" <<<"$lines"; then
            passed=$((passed + 1))
        elif ! grep -qE "^FAIL $check:" <<<"$lines"; then
            echo "FAIL $check: not run"
        fi
    done
    echo "board: $RELEASE $2: $passed/${#CHECKS[@]} checks passed"
    ((passed == ${#CHECKS[@]}))
}

# report LOG: every program's report; fails on a failed check or when init
# did not finish.
report() {
    local markers failed=0 arch
    markers=$(tr -d '\r' <"$1" | sed -n 's/^BOARD-TEST //p')
    grep -E '^(FAIL|INFO) machine' <<<"$markers" || true
    for arch in "${ORDER[@]}"; do
        report_program "$markers" "$arch" || failed=1
    done
    if ! grep -qx END <<<"$markers"; then
        echo "board test: init did not finish; the console's last lines:"
        tr -d '\r' <"$1" | tail -n 30
        failed=1
    fi
    return $failed
}

main() {
    (($# >= 4)) || die "usage: run_vm_test.sh KERNEL WORK_DIR ROUND_TRIP ARCH=PROGRAM..."
    use_kernel "$1"
    local work=$2 round_trip=$3 start program
    shift 3
    declare -gA PROGRAMS=()
    ORDER=()
    for program in "$@"; do
        [[ $program =~ ^(armhf|arm64)=(.+)$ && -x ${BASH_REMATCH[2]} ]] ||
            die "'$program' is not ARCH=PROGRAM with ARCH armhf or arm64 and an executable PROGRAM"
        PROGRAMS[${BASH_REMATCH[1]}]=${BASH_REMATCH[2]}
        ORDER+=("${BASH_REMATCH[1]}")
    done
    [[ -x $round_trip ]] || die "$round_trip is not an executable"
    mkdir -p "$work"
    work=$(cd "$work" && pwd)
    DEBS=$work/debs
    resolve_packages

    start=$(now)
    LIST=$work/$KERNEL/packages
    mkdir -p "$work/$KERNEL"
    fetch "$DEBS" "$LIST" "${PACKAGES[@]}"
    step_done "download (kernel $RELEASE)" "$start"

    start=$(now)
    local root=$work/$KERNEL/root-$RELEASE
    if [[ ! -f $root/.unpacked ]]; then
        rm -rf "$root"
        unpack "$root"
        touch "$root/.unpacked"
    fi
    build_modules "$root" "$work/$KERNEL/modules-$RELEASE"
    step_done "unpack and module build" "$start"

    start=$(now)
    pack_initramfs "$root" "$work/$KERNEL/modules-$RELEASE" "$round_trip" "$work/$KERNEL/initramfs.gz"
    step_done "initramfs" "$start"

    start=$(now)
    boot "$root/boot/vmlinuz-$RELEASE" "$work/$KERNEL/initramfs.gz" "$work/$KERNEL/console.log"
    step_done "boot and checks" "$start"
    report "$work/$KERNEL/console.log"
}

main "$@"
