#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks of the documentation, run by the everyday tests.

  check_docs.py links ROOT
      Every relative link in ROOT/README.md and ROOT/docs/*.md names a file or
      folder that exists, and a #fragment names a heading of that page.
  check_docs.py wiring README TABLE_PROGRAM [--update]
      The README's wiring section is what TABLE_PROGRAM (wiring_table.cpp)
      prints from the program's pin tables; --update writes it in.

Prints "FAIL: ..." lines and exits 1 on a mismatch.
"""
import difflib
import pathlib
import re
import subprocess
import sys

WIRING_BEGIN = "<!-- wiring: printed by tests/docs/wiring_table.cpp -->\n"
WIRING_END = "<!-- wiring: end -->\n"

LINK = re.compile(r"(?<!!)\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^(```|~~~)")
CODE_SPAN = re.compile(r"`[^`]*`")


def prose_lines(text):
    """The lines outside fenced and indented code blocks, code spans blanked."""
    inside_fence = False
    for number, line in enumerate(text.splitlines(), 1):
        if FENCE.match(line.lstrip()):
            inside_fence = not inside_fence
            continue
        if inside_fence or line.startswith("    ") or line.startswith("\t"):
            continue
        yield number, CODE_SPAN.sub("``", line)


def slug(heading):
    """The anchor that GitHub gives a heading."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors(page):
    seen = {}
    found = set()
    for _, line in prose_lines(page.read_text(encoding="utf-8")):
        match = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not match:
            continue
        base = slug(match.group(1).replace("``", ""))
        count = seen.get(base, 0)
        seen[base] = count + 1
        found.add(base if count == 0 else f"{base}-{count}")
    return found


def check_links(root):
    root = pathlib.Path(root).resolve()
    pages = [root / "README.md", *sorted((root / "docs").glob("*.md"))]
    failures = 0
    for page in pages:
        for number, line in prose_lines(page.read_text(encoding="utf-8")):
            for target in LINK.findall(line):
                if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                    continue  # http:, https:, mailto:, man:
                path, _, fragment = target.partition("#")
                linked = (page.parent / path).resolve() if path else page
                where = f"{page.relative_to(root)}:{number}: link '{target}'"
                if not linked.exists():
                    print(f"FAIL: {where}: no {linked}")
                    failures += 1
                elif fragment and (linked.suffix != ".md" or fragment not in anchors(linked)):
                    print(f"FAIL: {where}: no heading '#{fragment}' in {linked.name}")
                    failures += 1
    if failures == 0:
        print(f"pass: every relative link of {len(pages)} pages resolves")
    return failures == 0


def check_wiring(readme, table_program, update):
    readme = pathlib.Path(readme)
    text = readme.read_text(encoding="utf-8")
    if text.count(WIRING_BEGIN) != 1 or text.count(WIRING_END) != 1:
        print(f"FAIL: {readme} must hold the wiring section's two markers once each")
        return False
    before, rest = text.split(WIRING_BEGIN)
    written, after = rest.split(WIRING_END)
    printed = subprocess.run([table_program], check=True, capture_output=True,
                             encoding="utf-8").stdout
    if written == printed:
        print("pass: the README's wiring section is what the pin tables give")
        return True
    if update:
        readme.write_text(before + WIRING_BEGIN + printed + WIRING_END + after, encoding="utf-8")
        print(f"updated the wiring section of {readme}")
        return True
    print("FAIL: the README's wiring section differs from what the pin tables give:")
    sys.stdout.writelines(difflib.unified_diff(written.splitlines(True), printed.splitlines(True),
                                               "README.md", "wiring_table"))
    print(f"To take the tables' version: {sys.argv[0]} wiring {readme} {table_program} --update")
    return False


def main(arguments):
    if len(arguments) == 2 and arguments[0] == "links":
        return check_links(arguments[1])
    if len(arguments) in (3, 4) and arguments[0] == "wiring" and arguments[3:] in ([], ["--update"]):
        return check_wiring(arguments[1], arguments[2], arguments[3:] == ["--update"])
    print(__doc__, file=sys.stderr)
    return False


if __name__ == "__main__":
    sys.exit(0 if main(sys.argv[1:]) else 1)
