#!/bin/bash
# SPDX-License-Identifier: MIT
# The emulated-board system test: boots Debian's armhf kernel in
# qemu-system-arm with a simulated GPIO header chip (gpio-sim) and runs the
# armhf get_pin, unchanged, against it.
#
#   tests/board/run_vm_test.sh GET_PIN ROUND_TRIP WORK_DIR
#
# GET_PIN and ROUND_TRIP are armhf programs (preset board builds both).
# WORK_DIR keeps the downloaded Debian packages and the built modules, so a
# second run downloads and compiles nothing. Needs apt-get with the armhf
# architecture enabled in dpkg, the arm-linux-gnueabihf cross toolchain,
# qemu-system-arm, cpio, xz and make. Prints the in-machine checks as
# "PASS name: detail" / "FAIL name: detail" and exits 0 only if all passed.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly HERE
readonly CHECKS=(no-header-chip header-chip-found lines-held-while-running replies-follow-levels
    pin-18-held-then-released exit-releases-lines line-busy no-permission permission-granted)
readonly BOOT_LIMIT_SECONDS=240
readonly CROSS=arm-linux-gnueabihf-

die() {
    echo "board test: $*" >&2
    exit 1
}

now() { date +%s%N; }

# step_done NAME START: prints how long a step took.
step_done() {
    local elapsed=$((($(now) - $2) / 1000000))
    printf 'board test: %s took %d.%03d s\n' "$1" $((elapsed / 1000)) $((elapsed % 1000))
}

# The kernel release that linux-image-armmp:armhf depends on, e.g. 6.1.0-57-armmp.
kernel_release() {
    local image
    image=$(apt-cache depends linux-image-armmp:armhf |
        sed -n 's/^ *Depends: linux-image-\([^:]*\)\(:armhf\)\?$/\1/p' | head -n 1) || true
    [[ -n $image ]] || die "apt-cache knows no linux-image-armmp:armhf (dpkg --add-architecture armhf; apt-get update)"
    echo "$image"
}

# fetch DEBS PACKAGE...: downloads the packages not already in DEBS and
# lists the files of all of them in DEBS/files. Asks apt once for all names:
# each apt call takes seconds.
fetch() {
    local debs=$1 file missing=()
    shift
    mkdir -p "$debs"
    apt-get download --print-uris "$@" | awk '{ print $2 }' >"$debs/files"
    (($(wc -l <"$debs/files") == $#)) || die "apt-get cannot download all of: $*"
    while read -r file; do
        [[ -f $debs/$file ]] || missing+=("$file")
    done <"$debs/files"
    ((${#missing[@]})) || return 0
    rm -rf "$debs/partial" && mkdir "$debs/partial"
    (cd "$debs/partial" && apt-get download -q "$@" >download.log 2>&1) ||
        die "apt-get download failed: $(tail -n 3 "$debs/partial/download.log")"
    for file in "${missing[@]}"; do
        mv "$debs/partial/$file" "$debs/$file"
    done
    rm -rf "$debs/partial"
}

# deb_file DEBS PACKAGE: the downloaded file of a package that fetch listed.
deb_file() {
    local name=${2%:armhf}
    grep -m 1 "^${name}_" "$1/files" | sed "s|^|$1/|"
}

# unpack DEBS ROOT RELEASE: the kernel, the configfs module, the headers and
# kbuild, busybox and the gpiod tools with their library, under ROOT.
unpack() {
    local debs=$1 root=$2 release=$3 package
    mkdir -p "$root"
    # Of the image, only what the machine needs: the rest is 250 MB of modules.
    dpkg-deb --fsys-tarfile "$(deb_file "$debs" "linux-image-$release")" |
        tar -x -C "$root" "./boot/vmlinuz-$release" \
            "./lib/modules/$release/kernel/fs/configfs/configfs.ko"
    for package in "linux-headers-$release" "linux-headers-${release%-armmp}-common" \
        linux-kbuild-6.1 busybox-static gpiod libgpiod2; do
        dpkg -x "$(deb_file "$debs" "$package")" "$root"
    done
}

# patch_sources DIR: the three changes that let irq_sim and gpio-sim build as
# modules against Debian's headers. Each must take, or the build stops here.
patch_sources() {
    local dir=$1
    # irq_to_desc is not exported to modules.
    sed -i 's/handle_simple_irq(irq_to_desc(irqnum));/generic_handle_irq_safe(irqnum);/' "$dir/irq_sim.c"
    grep -q 'generic_handle_irq_safe(irqnum)' "$dir/irq_sim.c" || die "irq_sim.c: handler call not found"
    # Built into the kernel upstream, so it has no licence of its own.
    printf '\n#include <linux/module.h>\nMODULE_LICENSE("GPL");\n' >>"$dir/irq_sim.c"
    # modpost built for the host miscounts the ARM of_device_id table.
    sed -i '/^MODULE_DEVICE_TABLE(of, /d' "$dir/gpio-sim.c"
    ! grep -q 'MODULE_DEVICE_TABLE(of' "$dir/gpio-sim.c" || die "gpio-sim.c: device table left"
    echo 'obj-m := irq_sim.o gpio-sim.o' >"$dir/Kbuild"
}

# build_modules DEBS ROOT RELEASE OUT: irq_sim.ko and gpio-sim.ko in OUT.
build_modules() {
    local debs=$1 root=$2 release=$3 out=$4 source headers
    [[ -f $out/gpio-sim.ko && -f $out/irq_sim.ko ]] && return
    source=$out.src
    rm -rf "$source" && mkdir -p "$source"
    dpkg-deb --fsys-tarfile "$(deb_file "$debs" linux-source-6.1)" |
        tar -xO ./usr/src/linux-source-6.1.tar.xz |
        tar -xJ -C "$source" --strip-components=3 linux-source-6.1/drivers/gpio/gpio-sim.c \
            linux-source-6.1/drivers/gpio/gpiolib.h linux-source-6.1/kernel/irq/irq_sim.c
    patch_sources "$source"
    headers=$root/usr/src/linux-headers-$release
    # The armmp headers include the common ones by their installed path.
    sed -i "s|^include .*/usr/src/linux-headers-|include $root/usr/src/linux-headers-|" "$headers/Makefile"
    make -s -C "$headers" M="$source" ARCH=arm CROSS_COMPILE=$CROSS modules >"$source/build.log" 2>&1 ||
        die "module build failed: $(tail -n 20 "$source/build.log")"
    mkdir -p "$out"
    cp "$source/irq_sim.ko" "$source/gpio-sim.ko" "$out/"
    rm -rf "$source"
}

# The armhf shared libraries an ELF file needs, by name.
needed() {
    "${CROSS}readelf" -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'
}

# copy_libraries STAGE SEARCH_DIR...: copies every library that the programs
# in STAGE need, and theirs, into STAGE/lib.
copy_libraries() {
    local stage=$1 queue=() name dir found
    shift
    mapfile -t queue < <(find "$stage/bin" "$stage/usr/bin" -type f ! -name busybox)
    queue+=(ld-linux-armhf.so.3)
    while ((${#queue[@]})); do
        name=${queue[0]}
        queue=("${queue[@]:1}")
        if [[ $name != /* ]]; then
            [[ -e $stage/lib/$name ]] && continue
            found=""
            for dir in "$@"; do
                [[ -e $dir/$name ]] && found=$dir/$name && break
            done
            [[ -n $found ]] || die "no armhf $name in $*"
            cp -L "$found" "$stage/lib/$name"
            name=$stage/lib/$name
        fi
        mapfile -t -O "${#queue[@]}" queue < <(needed "$name")
    done
}

# pack_initramfs ROOT RELEASE MODULES GET_PIN ROUND_TRIP OUT
pack_initramfs() {
    local root=$1 release=$2 modules=$3 get_pin=$4 round_trip=$5 out=$6 stage=$6.d
    rm -rf "$stage"
    mkdir -p "$stage"/{bin,usr/bin,lib/modules,etc,proc,sys,dev,tmp}
    chmod 1777 "$stage/tmp"
    # init links the other applets at start.
    cp "$root/bin/busybox" "$stage/bin/"
    ln -s busybox "$stage/bin/sh"
    cp "$get_pin" "$stage/bin/get_pin"
    cp "$round_trip" "$stage/bin/round_trip"
    cp "$root"/usr/bin/gpio{get,info,mon} "$stage/usr/bin/"
    cp "$root/lib/modules/$release/kernel/fs/configfs/configfs.ko" "$modules"/*.ko "$stage/lib/modules/"
    copy_libraries "$stage" "$root/usr/lib/arm-linux-gnueabihf" /usr/arm-linux-gnueabihf/lib \
        /usr/lib/arm-linux-gnueabihf /lib/arm-linux-gnueabihf
    cp "$HERE/init.sh" "$stage/init"
    chmod 755 "$stage/init"
    printf 'root:x:0:0:root:/:/bin/sh\nuser:x:1000:1000:user:/tmp:/bin/sh\n' >"$stage/etc/passwd"
    printf 'root:x:0:\nuser:x:1000:\n' >"$stage/etc/group"
    (cd "$stage" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet | gzip -1) >"$out"
    rm -rf "$stage"
}

# boot VMLINUZ INITRD LOG: runs the machine until init powers it off.
boot() {
    local status=0
    timeout -k 5 "$BOOT_LIMIT_SECONDS" qemu-system-arm -M virt -cpu cortex-a15 -m 256 -smp 1 \
        -nographic -no-reboot -nic none -kernel "$1" -initrd "$2" \
        -append "console=ttyAMA0 rdinit=/init panic=-1 quiet" </dev/null >"$3" 2>&1 || status=$?
    ((status != 124 && status != 137)) || echo "board test: the machine ran past ${BOOT_LIMIT_SECONDS} s"
}

# report LOG: prints the markers; fails on a FAIL, a missing check or no END.
report() {
    local markers failed=0 check
    markers=$(tr -d '\r' <"$1" | sed -n 's/^BOARD-TEST //p')
    grep -E '^(PASS|FAIL|INFO) ' <<<"$markers" || true
    grep -q '^FAIL ' <<<"$markers" && failed=1
    for check in "${CHECKS[@]}"; do
        if ! grep -qE "^(PASS|FAIL) $check:" <<<"$markers"; then
            echo "FAIL $check: not run"
            failed=1
        fi
    done
    if ! grep -qx END <<<"$markers"; then
        echo "board test: init did not finish; the console's last lines:"
        tr -d '\r' <"$1" | tail -n 30
        failed=1
    fi
    return $failed
}

main() {
    (($# == 3)) || die "usage: run_vm_test.sh GET_PIN ROUND_TRIP WORK_DIR"
    local get_pin=$1 round_trip=$2 work=$3 release start
    [[ -x $get_pin && -x $round_trip ]] || die "$get_pin or $round_trip is not an executable"
    mkdir -p "$work"
    work=$(cd "$work" && pwd)
    release=$(kernel_release)
    local packages=("linux-image-$release:armhf" "linux-headers-$release:armhf"
        "linux-headers-${release%-armmp}-common" linux-kbuild-6.1 linux-source-6.1
        busybox-static:armhf gpiod:armhf libgpiod2:armhf)

    start=$(now)
    fetch "$work/debs" "${packages[@]}"
    step_done "download (kernel $release)" "$start"

    start=$(now)
    local root=$work/root-$release
    if [[ ! -f $root/.unpacked ]]; then
        rm -rf "$root"
        unpack "$work/debs" "$root" "$release"
        touch "$root/.unpacked"
    fi
    build_modules "$work/debs" "$root" "$release" "$work/modules-$release"
    step_done "unpack and module build" "$start"

    start=$(now)
    pack_initramfs "$root" "$release" "$work/modules-$release" "$get_pin" "$round_trip" "$work/initramfs.gz"
    step_done "initramfs" "$start"

    start=$(now)
    boot "$root/boot/vmlinuz-$release" "$work/initramfs.gz" "$work/console.log"
    step_done "boot and checks" "$start"
    report "$work/console.log"
}

main "$@"
