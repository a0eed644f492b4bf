#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the Debian package with cpack and checks it against what a shipped
# get_pin must be, whatever the build's own settings say: its control fields
# and file list; a static program (no interpreter, no shared library, no
# Depends); its target (ARMv6 in ARM state without Thumb-2 for both 32-bit
# packages, AArch64 for arm64), run from the package on the oldest CPU model
# of the boards; segments that load on 16K pages; lintian with no error and
# no warning; a version that is the sources', in Debian's order over a
# release's life; and the same bytes from a second build of the program in a
# shallow clone, at another time, which packages only with the version named.
#
#   check_package.sh SOURCE_DIR BUILD_DIR OUT_DIR ARCHITECTURE
# BUILD_DIR is the build to package, into OUT_DIR, with the version that it
# last built (get_pin_version.txt, cmake/version.cmake). ARCHITECTURE is the
# Debian architecture the build is for: armhf, armel or arm64. Every missing
# piece (package, dpkg-deb, lintian, qemu) is a failure.
set -euo pipefail
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND"' ERR
# Packages are made with Debian's umask, whatever the caller's: cpack takes
# the modes of the package's members from it.
umask 0022

readonly source_dir=$1 build_dir=$2 out_dir=$3 architecture=$4
version=$(cat "$build_dir/get_pin_version.txt")
# The version named with -DGET_PIN_VERSION, if any.
named=$(sed -n 's/^GET_PIN_VERSION:STRING=//p' "$build_dir/CMakeCache.txt")
# The release the sources lead to: project()'s version.
release=$(sed -n 's/^project(get_pin VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
readonly version named release
# The largest page size of the boards' kernels: 16K.
readonly page=$((0x4000))
# The program runs under qemu-user on the oldest CPU model of the boards: the
# first boards' ARM1176 (ARMv6) for the 32-bit program, the Cortex-A53 of the
# oldest 64-bit boards for arm64.
if [[ $architecture == arm64 ]]; then
    readonly qemu=qemu-aarch64 cpu=cortex-a53
else
    readonly qemu=qemu-arm cpu=arm1176
fi
failures=0

die() {
    echo "FAIL: $*"
    exit 1
}

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
    cpack --config "$build_dir/CPackConfig.cmake" -G DEB -B "$out_dir" >"$out_dir.log" 2>&1 ||
        { cat "$out_dir.log"; exit 1; }
    package=$out_dir/get-pin_${version}_${architecture}.deb
    [[ -f $package ]] || die "no $package; cpack made: $(ls "$out_dir" | tr "\n" " ")"
}

check_control_fields() {
    check Package get-pin "$(dpkg-deb -f "$package" Package)"
    check Architecture "$architecture" "$(dpkg-deb -f "$package" Architecture)"
    check Version "$version" "$(dpkg-deb -f "$package" Version)"
    # The program is static: there is nothing to depend on.
    check "Depends empty" "" "$(dpkg-deb -f "$package" Depends)"
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
        '-rw-r--r-- root/root ./usr/share/man/man1/get_pin.1.gz' \
        'drwxr-xr-x root/root ./usr/share/lintian/' \
        'drwxr-xr-x root/root ./usr/share/lintian/overrides/' \
        '-rw-r--r-- root/root ./usr/share/lintian/overrides/get-pin')
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
    check_static "$program"
    check_target "$program"
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
    # As root, lintian says so on stderr; that is no finding about the package.
    # It leaves a file in TMPDIR behind, so its TMPDIR is the scratch folder.
    report=$(TMPDIR=$scratch lintian --fail-on error,warning "$package" 2>&1) || status=$?
    grep -v '^running with root privileges' <<<"$report" || true
    check "lintian: no errors, no warnings" 0 "$status"
}

# Static, whatever the build was told: a dynamic program would need the
# building machine's C library release, and a dynamic 32-bit one cannot start
# on a 16K-page kernel.
check_static() {
    check "no program interpreter" "" "$(readelf -lW "$1" | grep INTERP || true)"
    check "no shared library needed" "" "$(readelf -dW "$1" | grep NEEDED || true)"
}

# The 32-bit program runs on the first boards' ARM1176 (ARMv6): no ARMv7
# instruction, no Thumb-2. The arm64 one on the Cortex-A53 of the oldest
# 64-bit boards. Each is run from the package on that CPU model (qemu, cpu).
check_target() {
    local program=$1 machine output status=0
    machine=$(readelf -h "$program" | sed -n 's/^ *Machine: *//p')
    if [[ $architecture == arm64 ]]; then
        check machine AArch64 "$machine"
    else
        local attributes cpu_arch
        attributes=$(readelf -A "$program")
        check machine ARM "$machine"
        cpu_arch=$(sed -n 's/^ *Tag_CPU_arch: //p' <<<"$attributes")
        check "Tag_CPU_arch $cpu_arch is v6 or lower" yes \
            "$([[ $cpu_arch =~ ^(v4|v4T|v5T|v5TE|v5TEJ|v6|v6KZ|v6K)$ ]] && echo yes)"
        check "Tag_THUMB_ISA_use not Thumb-2" yes \
            "$([[ $(sed -n 's/^ *Tag_THUMB_ISA_use: //p' <<<"$attributes") != Thumb-2 ]] && echo yes)"
    fi
    command -v $qemu >/dev/null || die "no $qemu to run the program (package qemu-user)"
    output=$(timeout 60 $qemu -cpu $cpu "$program" --version 2>&1) || status=$?
    # A package holds the real header's program, never the simulated board's.
    check "$qemu -cpu $cpu: get_pin --version" \
        "get_pin $version|Built for the kernel's GPIO character device., status 0" \
        "${output//$'\n'/|}, status $status"
}

# The same package from a second build of the program alone, with the first
# build's settings (its cache) but no tests: in a shallow clone of the commit
# built (`git clone --depth 1`, with the changes not committed applied), later,
# and under another umask and time zone while building. Any path, time or
# surrounding of the build that reaches a byte of the package makes the two
# differ. On the way: the shallow clone, which cannot count its commits,
# warns once and builds a version not known, which cpack refuses with the same
# advice; its next `cmake --build` takes a release tag made on HEAD, and then
# deleted. With the version named (-DGET_PIN_VERSION) it packages.
check_rebuild() {
    local cache=$build_dir/CMakeCache.txt settings=() setting generator second hash dirty=""
    local sources=$scratch/get_pin build=$scratch/build log=$scratch/log
    while IFS= read -r setting; do
        settings+=("-D$setting")
    done < <(grep -E '^[A-Za-z0-9_]+:(BOOL|STRING|FILEPATH|PATH|UNINITIALIZED)=' "$cache" |
        grep -Ev '^GET_PIN_(TESTS|VERSION):')
    generator=$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$cache")
    hash=$(git -C "$source_dir" rev-parse HEAD)
    git clone -q --depth 1 --no-checkout "file://$source_dir" "$sources"
    git -C "$sources" fetch -q --depth 1 origin "$hash"
    git -C "$sources" checkout -q --detach FETCH_HEAD
    git -C "$source_dir" diff --binary HEAD >"$scratch/changes"
    if [[ -s $scratch/changes ]]; then
        git -C "$sources" apply --binary "$scratch/changes"
        dirty=dirty
    fi
    # quietly WHAT COMMAND...: its output shown only when it fails.
    quietly() { "${@:2}" >"$log" 2>&1 || { cat "$log"; die "$1"; }; }
    builder() (
        umask 0002
        export TZ=UTC-14
        "$@"
    )
    # configure VERSION: with that version named (empty: none).
    configure() {
        quietly "the shallow clone did not configure" builder cmake -S "$sources" -B "$build" \
            -G "$generator" --no-warn-unused-cli "${settings[@]}" -DGET_PIN_TESTS=OFF \
            -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON -DGET_PIN_VERSION="$1"
    }
    # build_again: what --version says after building what the package holds
    # (not the benchmark tool).
    build_again() {
        quietly "the shallow clone did not build" builder cmake --build "$build" --parallel 2 \
            --target get_pin man_page changelog
        timeout 60 $qemu -cpu $cpu "$build/get_pin" --version | head -n 1
    }
    # cpack itself needs umask 022 (cmake/reproducible_package.cmake).
    pack() { (umask 0022 && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/package"); }

    local unknown="get_pin $release~unknown.${hash:0:7}${dirty:+.dirty}"
    configure ""
    check "a shallow clone: one warning, naming git fetch --unshallow" "1 yes" \
        "$(grep -c 'CMake Warning' "$log") $(says "$log" 'run `git fetch --unshallow` there' && echo yes)"
    check "a shallow clone builds, its version not known" "$unknown" "$(build_again)"
    check "cpack refuses it, naming git fetch --unshallow and GET_PIN_VERSION" "refused yes" \
        "$(pack >"$log" 2>&1 && echo packaged || echo refused) $(says "$log" 'git fetch --unshallow' &&
            says "$log" 'cmake -D GET_PIN_VERSION=VERSION' && echo yes)"
    git -C "$sources" tag "v$release"
    check "git tag v$release on HEAD, then cmake --build" "get_pin $release${dirty:++dirty}" \
        "$(build_again)"
    git -C "$sources" tag -d "v$release" >/dev/null
    check "git tag -d, then cmake --build" "$unknown" "$(build_again)"
    configure "$version"
    check "the version named" "get_pin $version" "$(build_again)"
    quietly "the second build did not package" pack
    second=$scratch/package/${package##*/}
    if cmp -s "$package" "$second"; then
        echo "pass: a second build gives the same bytes, sha256 $(sha256sum <"$package" | cut -d' ' -f1)"
    else
        echo "FAIL: a second build gives other bytes; what differs (< first, > second):"
        diff <(describe "$package") <(describe "$second") &&
            echo "(nothing listed: the compressed members differ)"
        failures=$((failures + 1))
    fi
}

# says FILE TEXT: whether FILE holds TEXT, wherever CMake wrapped its lines.
says() {
    [[ $(tr -s ' \n' '  ' <"$1") == *"$2"* ]]
}

# The package's version is the sources' (cmake/version.cmake), and Debian's
# order holds over a release's life (dpkg --compare-versions), in a throwaway
# clone with a history of its own, begun with the commit built and no tag:
# a snapshot before the release < the commit tagged as the release < the same
# with a change not committed < a snapshot after it < the same with a change <
# the next commit < a snapshot after raising project() < the next release. A
# later commit compares greater also when made at the same second as its
# parent, and a day before it (a wrong clock). An export (git archive) of a
# release commit carries the release's version, of another commit one not
# known; one that git did not fill in, docs/changelog's.
check_versions() {
    local clone=$scratch/clone head time next when earlier later
    version_of() { cmake -D GET_PIN_SOURCE_DIR="$1" -D GET_PIN_VERSION="${2-}" \
        -P "$source_dir/cmake/version.cmake"; }
    # in_clone ARGUMENT...: git in the clone, whose commits are the test's own,
    # never the user's (a fresh machine has no identity configured).
    in_clone() { git -C "$clone" -c user.name=check -c user.email=check@example.invalid "$@"; }
    # commit_after SECONDS: a commit of the clone's changes, or an empty one,
    # at that time.
    commit_after() {
        GIT_AUTHOR_DATE="@$1 +0000" GIT_COMMITTER_DATE="@$1 +0000" \
            in_clone commit -q --no-verify --allow-empty -a -m later
    }
    compares_greater() {
        check "$1: '$3' is newer than '$2'" yes \
            "$(dpkg --compare-versions "$3" gt "$2" && echo yes)"
    }
    check "Version is the sources' (cmake/version.cmake)" "$(version_of "$source_dir" "$named")" \
        "$version"
    # Sources without .git (an export) have no commit to go on from.
    [[ -e $source_dir/.git ]] || return 0
    head=$(git -C "$source_dir" rev-parse HEAD)
    time=$(git -C "$source_dir" log -1 --format=%ct HEAD)
    next=$((${release%%.*} + 1)).0.0
    git clone -q --shared --no-tags "$source_dir" "$clone"
    git -C "$clone" checkout -q --detach "$head"
    # The commit's tree as a root commit: the same checks in every history,
    # also where the sources are a shallow clone.
    git -C "$clone" update-ref --no-deref HEAD "$(in_clone commit-tree -m root "HEAD^{tree}")"
    rm -f "$clone/.git/shallow"
    head=$(git -C "$clone" rev-parse HEAD)
    for when in "same second:$time" "a day earlier:$((time - 86400))"; do
        git -C "$clone" checkout -q --detach "$head"
        earlier=$(version_of "$clone")
        commit_after "${when#*:}"
        later=$(version_of "$clone")
        compares_greater "a later commit, its time ${when%%:*}" "$earlier" "$later"
    done
    git -C "$clone" checkout -q --detach "$head"
    # step NAME FORM: the clone's version now has that form (R and N the two
    # releases, S a snapshot's <date>.<count>.<hash>), and is newer than the
    # step's before.
    local r=${release//./\\.} n=${next//./\\.} s='[0-9]{8}\.[0-9]+\.[0-9a-f]{7}' previous=""
    step() {
        local now
        now=$(version_of "$clone")
        check "$1: the form ${2//\\/}" yes "$([[ $now =~ ^$2$ ]] && echo yes)"
        [[ -z $previous ]] || compares_greater "$1" "$previous" "$now"
        previous=$now
    }
    step "a snapshot before the release" "$r~git$s"
    git -C "$clone" tag "v$release"
    step "the release" "$r"
    echo change >>"$clone/README.md"
    step "the release with a change" "$r\+dirty"
    commit_after "$time"
    step "a snapshot after it" "$r\+git$s"
    echo change >>"$clone/README.md"
    step "that snapshot with a change" "$r\+git$s\.dirty"
    commit_after "$time"
    step "the next commit" "$r\+git$s"
    git -C "$clone" tag "v$next"
    check "a release tag v$next where project() names $release stops, naming both" yes \
        "$(! version_of "$clone" >"$scratch/log" 2>&1 &&
            says "$scratch/log" "tagged v$next, but project() in CMakeLists.txt names version $release" && echo yes)"
    git -C "$clone" tag -d "v$next" >/dev/null
    sed -i "s/^project(get_pin VERSION [0-9.]*/project(get_pin VERSION $next/" "$clone/CMakeLists.txt"
    commit_after "$time"
    step "a snapshot after raising project() to $next" "$n~git$s"
    git -C "$clone" tag "v$next"
    step "the next release" "$n"

    # export_version: the version of the sources that git archive exports.
    export_version() {
        rm -rf "$scratch/export" && mkdir "$scratch/export"
        git -C "$clone" archive HEAD | tar -x -C "$scratch/export"
        version_of "$scratch/export" 2>/dev/null
    }
    check "an export of the release commit" "$next" "$(export_version)"
    commit_after "$time"
    check "an export of another commit: not known, naming it" \
        "$next~unknown.$(git -C "$clone" rev-parse HEAD | cut -c1-7)" "$(export_version)"
    echo 'cmake/exported_commit -export-subst' >"$clone/.git/info/attributes"
    check "an export that git did not fill in: docs/changelog's version" \
        "$(sed -n '1s/^get-pin (\([^)]*\)).*/\1/p' "$source_dir/docs/changelog")" "$(export_version)"
}

# A package as text to compare: its members with their modes and times, its
# files with modes, owners and times, and each file's MD5 sum.
describe() {
    ar tv "$1"
    dpkg-deb --fsys-tarfile "$1" | tar -tv --full-time
    dpkg-deb --info "$1" md5sums
}

main() {
    [[ $architecture =~ ^(armhf|armel|arm64)$ ]] ||
        die "'$architecture' is no architecture that get_pin ships for (armhf, armel, arm64)"
    local tool
    for tool in cmake cpack dpkg dpkg-deb readelf lintian ar git; do
        command -v $tool >/dev/null || die "no $tool"
    done
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    make_package
    check_control_fields
    check_file_list
    check_contents
    check_lintian
    check_versions
    check_rebuild
    ((failures == 0))
}

main
