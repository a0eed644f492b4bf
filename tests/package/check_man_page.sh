#!/bin/bash
# SPDX-License-Identifier: MIT
# Renders the man page get_pin(1) with groff's warnings on: any warning fails,
# and so does a version on its title line other than the project's.
#
#   check_man_page.sh MAN_PAGE VERSION
# Exits 77 (skipped) where groff is not installed.
set -euo pipefail

readonly man_page=$1 version=$2

command -v groff >/dev/null || { echo "skipped: no groff"; exit 77; }
warnings=$(groff -man -Tutf8 -ww -z "$man_page" 2>&1)
if [[ -n $warnings ]]; then
    echo "FAIL: groff warns:"
    echo "$warnings"
    exit 1
fi
if ! grep -q "^\.TH GET_PIN 1 .*\"get_pin $version\"" "$man_page"; then
    echo "FAIL: the .TH line does not name get_pin $version:"
    grep '^\.TH' "$man_page"
    exit 1
fi
echo "pass: renders without warnings, version $version"
