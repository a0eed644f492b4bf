#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the Debian package with cpack and checks its control fields, its file
# list, the program's target (ARMv6 in ARM state, or AArch64), that every
# shared library and symbol version the program needs is covered by Depends,
# that the program's segments can be loaded on 16K pages, and that lintian
# reports no error and no warning.
#
#   check_package.sh CPACK_CONFIG OUT_DIR VERSION ARCHITECTURE STATIC
# ARCHITECTURE is armhf or arm64; STATIC is ON for a statically linked program.
# Exits 77 (skipped) for a build that does not make a shipping package.
set -euo pipefail
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND"' ERR

readonly cpack_config=$1 out_dir=$2 version=$3 architecture=$4 static=$5
# The largest page size of the boards' kernels: 16K.
readonly page=$((0x4000))
failures=0
depends=""

check() {
    local name=$1 expected=$2 actual=$3
    if [[ $actual == "$expected" ]]; then
        echo "pass: $name"
    else
        echo "FAIL: $name: expected '$expected', got '$actual'"
        failures=$((failures + 1))
    fi
}

make_package() {
    rm -rf "$out_dir"
    cpack --config "$cpack_config" -G DEB -B "$out_dir" >"$out_dir.log" 2>&1 ||
        { cat "$out_dir.log"; exit 1; }
    package=$out_dir/get-pin_${version}_${architecture}.deb
    [[ -f $package ]] || { echo "FAIL: no $package"; ls "$out_dir"; exit 1; }
}

check_control_fields() {
    check Package get-pin "$(dpkg-deb -f "$package" Package)"
    check Architecture "$architecture" "$(dpkg-deb -f "$package" Architecture)"
    check Version "$version" "$(dpkg-deb -f "$package" Version)"
    # What Depends must hold is checked against the program in check_dependencies.
    depends=$(dpkg-deb -f "$package" Depends)
    if [[ $static == ON ]]; then
        check "static: Depends empty" "" "$depends"
    fi
    local maintainer description
    maintainer=$(dpkg-deb -f "$package" Maintainer)
    check "Maintainer is 'name <address>'" yes "$([[ $maintainer =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] && echo yes)"
    # Taken whole: a reader that stops early would kill dpkg-deb with SIGPIPE.
    description=$(dpkg-deb -f "$package" Description)
    check "Description synopsis" "report the levels of GPIO header pins on request" \
        "${description%%$'\n'*}"
    check "Description has an extended part" yes "$([[ $description == *$'\n '?* ]] && echo yes)"
}

check_file_list() {
    local expected actual
    expected=$(printf '%s\n' \
        'drwxr-xr-x root/root ./usr/' 'drwxr-xr-x root/root ./usr/bin/' \
        '-rwxr-xr-x root/root ./usr/bin/get_pin' 'drwxr-xr-x root/root ./usr/share/' \
        'drwxr-xr-x root/root ./usr/share/doc/' 'drwxr-xr-x root/root ./usr/share/doc/get-pin/' \
        '-rw-r--r-- root/root ./usr/share/doc/get-pin/changelog.gz' \
        '-rw-r--r-- root/root ./usr/share/doc/get-pin/copyright' \
        'drwxr-xr-x root/root ./usr/share/man/' 'drwxr-xr-x root/root ./usr/share/man/man1/' \
        '-rw-r--r-- root/root ./usr/share/man/man1/get_pin.1.gz')
    if [[ $static == ON ]]; then
        expected+=$'\n'$(printf '%s\n' 'drwxr-xr-x root/root ./usr/share/lintian/' \
            'drwxr-xr-x root/root ./usr/share/lintian/overrides/' \
            '-rw-r--r-- root/root ./usr/share/lintian/overrides/get-pin')
    fi
    actual=$(dpkg-deb -c "$package" | awk '{print $1, $2, $6}' | sort)
    check "file list" "$(sort <<<"$expected")" "$actual"
}

check_contents() {
    local root=$out_dir/root program
    dpkg-deb -x "$package" "$root"
    program=$root/usr/bin/get_pin
    check "man page is gzip" yes "$(gzip -t "$root/usr/share/man/man1/get_pin.1.gz" && echo yes)"
    check "man page version" yes "$(grep -q "^\.TH GET_PIN 1 .*\"get_pin $version\"" \
        <(zcat "$root/usr/share/man/man1/get_pin.1.gz") && echo yes)"
    check "copyright names the MIT licence" yes \
        "$(grep -qx 'License: MIT' "$root/usr/share/doc/get-pin/copyright" && echo yes)"
    if [[ $architecture == armhf ]]; then
        check "machine" ARM "$(readelf -h "$program" | sed -n 's/^ *Machine: *//p')"
        check "Tag_CPU_arch" v6 "$(readelf -A "$program" | sed -n 's/^ *Tag_CPU_arch: //p')"
    else
        check "machine" AArch64 "$(readelf -h "$program" | sed -n 's/^ *Machine: *//p')"
    fi
    if [[ $static == ON ]]; then
        check "static: no program interpreter" "" "$(readelf -lW "$program" | grep INTERP)"
    fi
    check_dependencies "$program"
    check_layout "$program"
}

# The program must load on 4K and 16K pages: every LOAD segment aligned to at
# least 16K, and no 16K page of memory holding parts of two LOAD segments with
# different permissions (the kernel maps whole pages; code and writable data
# would share one).
check_layout() {
    local offset address memory_size flags align previous_end=-1 previous_flags=""
    while read -r _ offset address _ _ memory_size flags align; do
        check "LOAD at $address aligned to $align, at least 16K" yes \
            "$( ((align >= page && (address - offset) % page == 0)) && echo yes)"
        if [[ $previous_end -ge 0 && $flags != "$previous_flags" ]]; then
            check "LOAD at $address ($flags) shares no 16K page with the one before ($previous_flags)" \
                yes "$( ((previous_end / page < address / page)) && echo yes)"
        fi
        previous_end=$((address + memory_size - 1))
        previous_flags=$flags
    done < <(readelf -lW "$1" | awk '$1 == "LOAD" { flags = $7; align = $8
        if (NF == 9) { flags = $7 $8; align = $9 }  # "R E" is two fields
        print $1, $2, $3, $4, $5, $6, flags, align }' | sort -k 3)
}

# lintian, Debian's own checker: no error and no warning. An override needs
# its reason beside it in the package.
check_lintian() {
    local report status=0
    command -v lintian >/dev/null || { check "lintian installed" yes no; return; }
    # As root, lintian says so on stderr; that is no finding about the package.
    report=$(lintian --fail-on error,warning "$package" 2>&1) || status=$?
    grep -v '^running with root privileges' <<<"$report" || true
    check "lintian: no errors, no warnings" 0 "$status"
}

# The newest version of a symbol version family (GLIBC, GLIBCXX, ...) needed.
newest_needed() {
    readelf -V "$1" | grep -oE "Name: $2_[0-9.]+" | sed "s/Name: $2_//" | sort -V | tail -n 1
}

# True when version $1 is not newer than $2.
not_newer() {
    [[ -z $1 || $(printf '%s\n%s\n' "$1" "$2" | sort -V | tail -n 1) == "$2" ]]
}

covered() {
    local name=$1 needed=$2 provided=$3
    check "$name $needed needed, $provided provided" yes "$(not_newer "$needed" "$provided" && echo yes)"
}

# Which package holds each library, and the newest symbol versions that the
# Depends lower bounds guarantee (libstdc++6 5 gives GLIBCXX_3.4.21, CXXABI_1.3.9).
check_dependencies() {
    local program=$1 library name libc_bound needed_packages=" "
    while read -r library; do
        case $library in
        libc.so.6 | libm.so.6 | ld-linux-armhf.so.3 | ld-linux-aarch64.so.1) check "$library in Depends" yes "$([[ $depends == *libc6* ]] && echo yes)"; needed_packages+="libc6 " ;;
        libstdc++.so.6) check "$library in Depends" yes "$([[ $depends == *'libstdc++6 (>= 5)'* ]] && echo yes)"; needed_packages+="libstdc++6 " ;;
        libgcc_s.so.1) check "$library in Depends" yes "$([[ $depends == *'libgcc-s1 (>= 3.5)'* ]] && echo yes)"; needed_packages+="libgcc-s1 " ;;
        *) check "known library" yes "no: $library" ;;
        esac
    done < <(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    # And nothing in Depends that the program does not load.
    for name in $(sed 's/([^)]*)//g; s/,/ /g' <<<"$depends"); do
        check "$name in Depends is needed" yes "$([[ $needed_packages == *" $name "* ]] && echo yes)"
    done
    libc_bound=$(sed -n 's/.*libc6 (>= \([0-9.]*\)).*/\1/p' <<<"$depends")
    covered GLIBC "$(newest_needed "$program" GLIBC)" "$libc_bound"
    covered GLIBCXX "$(newest_needed "$program" GLIBCXX)" 3.4.21
    covered CXXABI "$(newest_needed "$program" CXXABI)" 1.3.9
    covered GCC "$(newest_needed "$program" GCC)" 3.5
}

main() {
    if [[ $architecture != armhf && $architecture != arm64 ]]; then
        echo "skipped: only the armhf and arm64 builds on the character-device board make packages"
        exit 77
    fi
    command -v dpkg-deb >/dev/null || { echo "skipped: no dpkg-deb"; exit 77; }
    make_package
    check_control_fields
    check_file_list
    check_contents
    check_lintian
    ((failures == 0))
}

main
