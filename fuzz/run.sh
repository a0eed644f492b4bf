#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds get_pin_fuzz with clang (the fuzz preset, build/fuzz) and fuzzes
# the word reader and command loop for a bounded time, starting from the seed
# corpus in fuzz/corpus. Fails on any finding; the input that caused it is
# left in build/fuzz/findings/ and replays with
#   build/fuzz/fuzz/get_pin_fuzz build/fuzz/findings/crash-...
#
#   $ fuzz/run.sh        # 60 s
#   $ fuzz/run.sh 600    # longer
set -euo pipefail

readonly source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readonly build_dir="$source_dir/build/fuzz"
readonly seconds="${1:-60}"

build() {
    cmake --preset fuzz -S "$source_dir" >/dev/null
    cmake --build --preset fuzz
}

# New inputs go to a scratch corpus in the build tree: the seeds in the
# repository stay as they are.
fuzz() {
    mkdir -p "$build_dir/corpus" "$build_dir/findings"
    "$build_dir/fuzz/get_pin_fuzz" \
        -max_total_time="$seconds" \
        -timeout=10 \
        -max_len=4096 \
        -print_final_stats=1 \
        -dict="$source_dir/fuzz/words.dict" \
        -artifact_prefix="$build_dir/findings/" \
        "$build_dir/corpus" "$source_dir/fuzz/corpus"
}

cd "$source_dir"
build
fuzz
