#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks of the documentation, run by the everyday tests.

  check_docs.py links ROOT
      Every relative link in ROOT/README.md and ROOT/docs/*.md names a file or
      folder that exists, and a #fragment names a heading of that page.
  check_docs.py wiring README TABLE_PROGRAM [--update]
      The README's wiring section is what TABLE_PROGRAM (wiring_table.cpp)
      prints from the program's pin tables; --update writes it in.
  check_docs.py pins ROOT TABLE_PROGRAM
      Every copy of the pin table in ROOT's files (reply lines, lists of the
      pins, their count) is what TABLE_PROGRAM --pins prints from the table in
      src/gpio/gpio.h: one line for each stale place.
  check_docs.py commands ROOT
      No command in ROOT/README.md, ROOT/docs/*.md (fenced and indented code
      blocks, and code in a table's cells) or the manual page's examples (.EX
      to .EE) holds '\\|': copied from the raw file, that is no pipe.
  check_docs.py troubleshooting ROOT
      Every text of the README's Troubleshooting table, and every line of
      get_pin's that README.md, docs/*.md and the manual page quote, is one
      the program writes (its string literals in src/), and every reason the
      program ends with is in the table.
  check_docs.py boards ROOT
      docs/emulated-boards.md's table of configurations is tests/board/configs.txt:
      every configuration in its order, and each row's suite, kernel meta
      package, machine, header chip and programs.
  check_docs.py version ROOT
      project() in ROOT/CMakeLists.txt, the newest entry of docs/changelog and
      the man page's title line name the same version.

Prints "FAIL: ..." lines and exits 1 on a mismatch.
"""
import difflib
import os
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


def code_lines(text):
    """The lines of fenced and indented code blocks, with their numbers."""
    inside_fence = False
    for number, line in enumerate(text.splitlines(), 1):
        if FENCE.match(line.lstrip()):
            inside_fence = not inside_fence
        elif inside_fence or line.startswith("    ") or line.startswith("\t"):
            yield number, line


def table_code_spans(text):
    """The code spans of a table's rows, with their line numbers."""
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("|"):
            for span in CODE_SPAN.findall(line):
                yield number, span


def manual_example_lines(text):
    """The lines of a manual page's examples (.EX to .EE), with their numbers."""
    inside = False
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith((".EX", ".EE")):
            inside = line.startswith(".EX")
        elif inside:
            yield number, line


def check_commands(root):
    """A table cell needs its pipe escaped; a command copied with the escape
    prints the rest of its line instead of piping it (in a manual page, \\| is
    a narrow space)."""
    root = pathlib.Path(root).resolve()
    markdown = [root / "README.md", *sorted((root / "docs").glob("*.md"))]
    manuals = sorted((root / "docs").glob("*.1"))
    checks = [(page, code_lines, "write '|'") for page in markdown]
    checks += [(page, table_code_spans, "give it a code block of its own") for page in markdown]
    checks += [(page, manual_example_lines, "write '|'") for page in manuals]
    failures = 0
    for page, lines, remedy in checks:
        for number, line in lines(page.read_text(encoding="utf-8")):
            if "\\|" in line:
                print(f"FAIL: {page.relative_to(root)}:{number}: '\\|' in a command, which pastes "
                      f"as no pipe: {remedy} ({line.strip()})")
                failures += 1
    if failures == 0:
        print(f"pass: no command of {len(markdown) + len(manuals)} pages holds '\\|'")
    return failures == 0


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


def prose_paragraphs(text):
    """Runs of consecutive prose lines, joined, each with its first line's number:
    a link whose text wraps onto the next line is found whole."""
    run, first, last = [], 0, -1
    for number, line in prose_lines(text):
        if run and (number != last + 1 or not line.strip()):
            yield first, "\n".join(run)
            run = []
        if line.strip():
            first = first if run else number
            run.append(line)
        last = number
    if run:
        yield first, "\n".join(run)


def check_links(root):
    root = pathlib.Path(root).resolve()
    pages = [root / "README.md", *sorted((root / "docs").glob("*.md"))]
    failures = 0
    for page in pages:
        for first, paragraph in prose_paragraphs(page.read_text(encoding="utf-8")):
            for link in LINK.finditer(paragraph):
                target = link.group(1)
                number = first + paragraph.count("\n", 0, link.start())
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
    printed = run_table_program([table_program])
    if printed is None:
        return False
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


def run_table_program(command):
    """What the table program prints, or None after saying why it failed."""
    run = subprocess.run(command, check=False, capture_output=True, encoding="utf-8")
    if run.returncode != 0:
        reason = run.stderr.strip() or f"no message, status {run.returncode}"
        print(f"FAIL: {' '.join(command)} failed: {reason}")
        return None
    return run.stdout


NUMBER_WORDS = ["zero", "one", "two", "three", "four", "five", "six", "seven", "eight", "nine",
                "ten", "eleven", "twelve"]
COUNT_WORD = "(" + "|".join(NUMBER_WORDS) + ")"
# The forms a copy of the pin table takes, each with what it must hold:
# "order" the pins in reply order, "count" the number of pins, "read count"
# the number of pins read at each request (all but the held pin).
PIN_COPY_FORMS = [
    ("reply line", "order", re.compile(r"\{((?:\d+: [^,{}\n]+, )+)\}")),
    ("list of the pins", "order",
     re.compile(r"header\s+pins\s+((?:\d+,\s+)+\d+\s+and\s+\d+)")),
    ("reply order", "order", re.compile(r"order\s+((?:\d+,\s+)+\d+)")),
    ("number of pins", "count",
     re.compile(r"(?<!other )\b" + COUNT_WORD + r"\s+(?:GPIO\s+)?(?:header\s+)?(?:pins|entries)\b",
                re.IGNORECASE)),
    ("number of lines", "count", re.compile(r"\bthe\s+" + COUNT_WORD + r"\s+lines\b", re.IGNORECASE)),
    ("number of pins read at a request", "read count",
     re.compile(r"\bother\s+" + COUNT_WORD + r"\s+pins\b", re.IGNORECASE)),
]
# Where copies are looked for: every text file of the tree but the build
# folders, the table itself and its printer, this checker, the history of the
# changelog and the fuzzer's corpus.
SKIPPED = {".git", "build", "corpus", "changelog", "gpio.h", "wiring_table.cpp", "check_docs.py"}
TEXT_SUFFIXES = {".md", ".1", ".cpp", ".h", ".sh", ".py", ".js", ".cmake", ".txt", ".json", ""}
# Copies of the reply of a board with nothing connected, exactly.
UNTOUCHED_REPLY_FILES = {".ci/run", ".ci/debian13"}


def copy_files(root):
    for folder, folders, files in os.walk(root):
        folders[:] = sorted(name for name in folders if name not in SKIPPED)
        for name in sorted(files):
            path = pathlib.Path(folder, name)
            if name not in SKIPPED and path.suffix in TEXT_SUFFIXES:
                yield path.relative_to(root), path.read_text(encoding="utf-8", errors="replace")


def pins_of(match):
    """The pin numbers that a copy lists (the levels of a reply line left out)."""
    if match.re.pattern.startswith(r"\{"):
        return [int(pin) for pin in re.findall(r"(\d+): ", match.group(1))]
    return [int(pin) for pin in re.findall(r"\d+", match.group(1))]


def check_pins(root, table_program):
    root = pathlib.Path(root).resolve()
    printed = run_table_program([table_program, "--pins"])
    if printed is None:
        return False
    order_line, untouched = printed.splitlines()
    order = [int(pin) for pin in order_line.split()]
    wanted = {"order": ", ".join(map(str, order)),
              "count": NUMBER_WORDS[len(order)] if len(order) < len(NUMBER_WORDS) else "?",
              "read count": NUMBER_WORDS[len(order) - 1]}
    stale = copies = 0
    for relative, text in copy_files(root):
        for name, holds, form in PIN_COPY_FORMS:
            for match in form.finditer(text):
                copies += 1
                if holds == "order":
                    found = ", ".join(map(str, pins_of(match)))
                else:
                    found = match.group(1).lower()
                line = text.count("\n", 0, match.start()) + 1
                copy = " ".join(match.group(0).split())
                if name == "reply line" and str(relative) in UNTOUCHED_REPLY_FILES:
                    if copy != untouched:
                        print(f"FAIL: {relative}:{line}: reply line '{copy}'; with nothing "
                              f"connected, the pin table (src/gpio/gpio.h) gives '{untouched}'")
                        stale += 1
                elif found != wanted[holds]:
                    print(f"FAIL: {relative}:{line}: {name} '{copy}' has {found}; the pin table "
                          f"(src/gpio/gpio.h) gives {wanted[holds]}")
                    stale += 1
    if copies == 0:
        print(f"FAIL: no copy of the pin table found under {root}: the forms have changed")
        return False
    if stale == 0:
        print(f"pass: {copies} copies of the pin table outside it agree with it "
              f"(pins {wanted['order']})")
    return stale == 0


C_STRING = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
# What stands for a value in the README's texts: an ellipsis, <reason>, a
# capital letter alone (N, X, F...), a chip's device, and the kernel's texts
# for an error number (strerror).
PLACEHOLDER = re.compile("|".join([
    r"…", r"<[^>]+>", r"(?<![\w-])[A-Z](?![\w])", r"/dev/gpiochip[A-Z](?![\w*])",
    *sorted((re.escape(os.strerror(number)) for number in range(1, 134)
             if not os.strerror(number).startswith("Unknown error")), key=len, reverse=True)]))
# Calls whose string arguments end the program with a line on stderr.
DYING_CALL = re.compile(r"\b(?:die\w*|refuse)\(")


def program_texts(root):
    """The string literals of the program's sources, each source's in order,
    and those passed to the calls that end it, with their places."""
    literals, dying = [], []
    for source in sorted((root / "src").rglob("*.cpp")):
        text = source.read_text(encoding="utf-8")
        code = "\n".join("" if line.lstrip().startswith("#") else line
                         for line in text.splitlines())
        for match in C_STRING.finditer(code):
            literals.append(match.group(1).encode().decode("unicode_escape"))
        for call in DYING_CALL.finditer(code):
            depth, position = 1, call.end()
            while depth and position < len(code):
                string = C_STRING.match(code, position)
                if string:
                    line = code.count("\n", 0, position) + 1
                    dying.append((f"{source.relative_to(root)}:{line}",
                                  string.group(1).encode().decode("unicode_escape")))
                    position = string.end()
                    continue
                depth += {"(": 1, ")": -1}.get(code[position], 0)
                position += 1
    return literals, dying


def made_of_literals(piece, literals, first=True):
    """Whether a piece of fixed text is what the program writes: the end of one
    literal (or any part, for the first), whole literals, then the start of one."""
    if not first and any(literal.startswith(piece) for literal in literals):
        return True
    if first and any(piece in literal for literal in literals):
        return True
    for split in range(1, len(piece)):
        head = piece[:split]
        if (any(literal.endswith(head) for literal in literals) if first else head in literals) \
                and made_of_literals(piece[split:], literals, False):
            return True
    return False


def normal(text):
    return " ".join(text.split()).strip(" :;,.'\"()")


# What stands for a value in a quoted example line: the line's own elision,
# numbers, a chip's device, a device (fe804000.i2c), a function (alt0) and a
# quoted argument or name.
EXAMPLE_VALUE = re.compile("|".join([
    r"\.\.\.", r"/dev/gpiochip\d+", r"\b\d+\b", r"\b[0-9a-f]{6,}\.\w+", r"\balt\d\b", r"'-[\w-]*'", r'"[\w-]+"']))
QUOTE_VALUE = re.compile(f"{PLACEHOLDER.pattern}|{EXAMPLE_VALUE.pattern}")
GROFF_ESCAPES = {r"\(aq": "'", r"\(dq": '"', r"\(lq": '"', r"\(rq": '"', r"\-": "-", "\\ ": " "}


def quoted_lines(root):
    """The lines of get_pin's that the pages quote, after "get_pin: ", with their
    places: code spans (wrapped over lines too) and code-block lines of the
    Markdown pages, and the manual page's examples, with their indented
    continuation lines."""
    for page in [root / "README.md", *sorted((root / "docs").glob("*.md"))]:
        text = page.read_text(encoding="utf-8")
        for number, line in code_lines(text):
            if line.strip().startswith("get_pin: "):
                yield f"{page.relative_to(root)}:{number}", line.strip()[len("get_pin: "):]
        code = dict(code_lines(text))
        lines = ["" if number in code else line for number, line in enumerate(text.splitlines(), 1)]
        for span in re.finditer(r"`get_pin: ([^`]+)`", "\n".join(lines)):
            number = "\n".join(lines).count("\n", 0, span.start()) + 1
            yield f"{page.relative_to(root)}:{number}", span.group(1)
    for page in sorted((root / "docs").glob("*.1")):
        quote = None
        for number, line in [*manual_example_lines(page.read_text(encoding="utf-8")), (0, "")]:
            for escape, character in GROFF_ESCAPES.items():
                line = line.replace(escape, character)
            if quote and line[:1].isspace():
                quote[1] += line
                continue
            if quote:
                yield tuple(quote)
            quote = [f"{page.relative_to(root)}:{number}", line[len("get_pin: "):]] \
                if line.startswith("get_pin: ") else None


def check_troubleshooting(root):
    root = pathlib.Path(root).resolve()
    readme = (root / "README.md").read_text(encoding="utf-8")
    section = re.search(r"^## Troubleshooting\n(.*?)^## ", readme, re.MULTILINE | re.DOTALL)
    if not section:
        print("FAIL: README.md has no Troubleshooting section")
        return False
    texts = [span for row in re.findall(r"^\| (.*?) \|", section.group(1), re.MULTILINE)
             for span in re.findall(r"`([^`]+)`", row)]
    literals, dying = program_texts(root)
    # The table's texts, then the lines quoted on the pages, with their values.
    quotes = [("README.md, Troubleshooting", text, PLACEHOLDER) for text in texts]
    quotes += [(place, " ".join(text.split()), QUOTE_VALUE) for place, text in quoted_lines(root)]
    failures = 0
    pieces = []
    for place, text, values in quotes:
        for piece in values.split(text):
            # The blanks around a value are the page's, not the program's.
            piece = piece.strip()
            if not re.search(r"[A-Za-z]", piece):
                continue
            if values is PLACEHOLDER:
                pieces.append(normal(piece))
            if not made_of_literals(piece, literals):
                print(f"FAIL: {place}: '{piece}' of '{text}' is no text of the program (src/)")
                failures += 1
    # Every reason of five words or more that the program ends with has a row;
    # one that continues another (after a comma or semicolon) may be elided.
    for place, literal in dying:
        reason = normal(literal)
        if len(reason.split()) < 5 or literal.lstrip()[:1] in (",", ";"):
            continue
        if not any(len(piece.split()) >= 3 and (piece in reason or reason in piece)
                   for piece in pieces):
            print(f"FAIL: {place}: '{literal}' is in no row of the README's Troubleshooting table")
            failures += 1
    if failures == 0:
        print(f"pass: the {len(texts)} texts of the README's Troubleshooting table and the "
              f"{len(quotes) - len(texts)} lines the pages quote are the program's, and its "
              f"{len(dying)} texts it ends with are in the table")
    return failures == 0


def check_boards(root):
    root = pathlib.Path(root)
    columns = "config machine suite meta label lines mode programs modules".split()
    configs = {}
    for line in (root / "tests/board/configs.txt").read_text(encoding="utf-8").splitlines():
        if re.match(r"[a-z]", line):
            configs[line.split()[0]] = dict(zip(columns, line.split()))
    page = (root / "docs/emulated-boards.md").read_text(encoding="utf-8")
    rows = {}
    for line in page.splitlines():
        match = re.match(r"\| `([^`]+)` \| (.*) \| (.*) \| (.*) \| (.*) \|$", line)
        if match and line.count("|") == 6:
            rows[match.group(1)] = match.groups()[1:]

    def cell(name, column, same):
        """A row's cell, that of the row it names ("as `X`") where that row's
        entry agrees in the columns SAME."""
        text = rows[name][column]
        other = re.fullmatch(r"as `([^`]+)`", text)
        if other and all(configs.get(other.group(1), {}).get(key) == configs[name][key] for key in same):
            return cell(other.group(1), column, same)
        return text

    failures = []
    if list(rows) != list(configs):
        failures.append(f"its rows are {', '.join(rows)}; configs.txt has {', '.join(configs)}")
    for name, entry in configs.items():
        if name not in rows:
            continue
        machine, _, cpu = entry["machine"].partition(":")
        chip = f"gpio-sim `{entry['label']}`" if entry["mode"] == "gpio-sim" else \
            f"the real `{entry['label']}` driver"
        wanted = [(0, ("suite", "meta"), f"{entry['suite']} `{entry['meta']}:"),
                  (1, ("machine",), f"-M {machine}" + (f" -cpu {cpu}" if cpu else "")),
                  (2, ("label", "lines", "mode"), chip),
                  (3, ("programs",), entry["programs"].replace(",", ", "))]
        for column, same, text in wanted:
            found = cell(name, column, same)
            if text not in found or (column == 3 and text != found):
                failures.append(f"{name}: '{cell(name, column, same)}' does not hold '{text}'")
        if "lines" in cell(name, 2, ("label", "lines", "mode")) and \
                f"{entry['lines']} lines" not in cell(name, 2, ("label", "lines", "mode")):
            failures.append(f"{name}: the header chip has {entry['lines']} lines")
    for failure in failures:
        print(f"FAIL: docs/emulated-boards.md, table of configurations: {failure} "
              "(tests/board/configs.txt)")
    if not failures:
        print(f"pass: docs/emulated-boards.md's {len(rows)} configurations are configs.txt's")
    return not failures


def check_version(root):
    """The changelog's newest entry stays UNRELEASED until its release commit,
    which names a suite (docs/packages.md, "Cutting a release")."""
    root = pathlib.Path(root)
    places = {"CMakeLists.txt": r"^project\(get_pin VERSION ([^ )]+)",
              "docs/changelog": r"\Aget-pin \(([^)]+)\) (?:UNRELEASED|unstable);",
              "docs/get_pin.1": r'^\.TH GET_PIN 1 "[^"]*" "get_pin ([^"]+)"'}
    found = {}
    for name, form in places.items():
        match = re.search(form, (root / name).read_text(encoding="utf-8"), re.MULTILINE)
        found[name] = match.group(1) if match else f"nothing of the form '{form}'"
    if len(set(found.values())) == 1:
        print(f"pass: {', '.join(found)} all name version {found['CMakeLists.txt']}")
        return True
    print("FAIL: the version's places disagree: "
          + "; ".join(f"{name} has {version}" for name, version in found.items()))
    return False


CHECKS = {"links": check_links, "pins": check_pins, "commands": check_commands,
          "troubleshooting": check_troubleshooting, "boards": check_boards, "version": check_version}


def main(arguments):
    if len(arguments) in (3, 4) and arguments[0] == "wiring" and arguments[3:] in ([], ["--update"]):
        return check_wiring(arguments[1], arguments[2], arguments[3:] == ["--update"])
    check = CHECKS.get(arguments[0] if arguments else "")
    if check and len(arguments) == 1 + check.__code__.co_argcount:
        return check(*arguments[1:])
    print(__doc__, file=sys.stderr)
    return False


if __name__ == "__main__":
    sys.exit(0 if main(sys.argv[1:]) else 1)
