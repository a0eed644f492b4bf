#!/bin/bash
# SPDX-License-Identifier: MIT
# Renders the man page get_pin(1) with groff's warnings on: any warning fails.
# (docs_version holds its title line's version to the project's.)
#
#   check_man_page.sh MAN_PAGE
# Fails, saying so, where groff is not installed (package groff-base).
set -euo pipefail

readonly man_page=$1

command -v groff >/dev/null || { echo "FAIL: groff is not installed (apt-get install groff-base)"; exit 1; }
warnings=$(groff -man -Tutf8 -ww -z "$man_page" 2>&1)
if [[ -n $warnings ]]; then
    echo "FAIL: groff warns:"
    echo "$warnings"
    exit 1
fi
echo "pass: renders without warnings"
