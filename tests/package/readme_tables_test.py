#!/usr/bin/env python3
"""Checks the README's protocol tables (and the manual page's message numbers, and the web page's
constants) against the numbers of the wire registry, src/host_link/registry.hpp.

    readme_tables_test.py [REPOSITORY_ROOT]
    readme_tables_test.py --catches-drift [REPOSITORY_ROOT]

The second form copies what the test reads into a temporary folder, spoils one thing at a time
(a page constant changed, one the page uses removed, a number given twice in the registry, a
README row changed) and passes only when the test fails on each.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

NUMBER = r"(0x[0-9A-Fa-f]+|\d+)"
WIRE_NAME = r"(?:CMD|EVT|EXT|FIELD)_\w+"
# What the test reads, relative to the repository root.
READS = ["README.md", "docs/korvane.1", "tools/web/page/protocol.js", "tools/web/page/app.js",
         "src/host_link/registry.hpp", "src/host_link/protocol.hpp",
         "src/host_link/extensions.hpp", "src/host_link/session_extensions.hpp",
         "src/host_link/audio_wire.hpp"]
root = "."
problems = []


def read(path):
    with open(os.path.join(root, path), encoding="utf-8") as f:
        return f.read()


def definitions(text, pattern):
    return re.findall(r"^\s*(" + pattern + r")\s*=\s*" + NUMBER + r"\s*,", text, re.M)


def code_constants():
    """The registry's numbers, and the H.264 codec ids of extensions.hpp. A message type, bit or
    field tag defined anywhere else in src/host_link is a second place for one fact."""
    values = {}
    for name, value in definitions(read("src/host_link/registry.hpp"), WIRE_NAME):
        if name in values:
            problems.append(f"registry.hpp defines {name} twice")
        values[name] = int(value, 0)
    for name, value in definitions(read("src/host_link/extensions.hpp"), r"CODEC_ID_\w+"):
        values[name] = int(value, 0)
    for header in READS[5:]:
        for name, _ in definitions(read(header), WIRE_NAME):
            problems.append(f"{header} defines {name}, which belongs in registry.hpp")
    return values


def tables(text, header):
    """The rows (lists of cells; `\\|` stays inside its cell) of each table whose header line is
    `header`."""
    found, lines = [], text.splitlines()
    for i, line in enumerate(lines):
        if line.strip() == header:
            rows = []
            for row in lines[i + 2:]:
                if not row.startswith("|"):
                    break
                rows.append([cell.strip() for cell in re.split(r"(?<!\\)\|", row)[1:-1]])
            found.append(rows)
    return found


def ascending(what, numbers):
    if numbers != sorted(numbers) or len(set(numbers)) != len(numbers):
        problems.append(f"the {what} table is not in ascending order: {numbers}")


def check_messages(readme, code):
    rows_of = {"CMD": [], "EVT": []}
    for rows in tables(readme, "| type | name | payload |"):
        names = [re.fullmatch(r"`((CMD|EVT)_\w+)`", r[1]) for r in rows]
        kinds = {n.group(2) for n in names if n}
        if len(kinds) != 1:
            problems.append(f"a message table mixes or lacks directions: {kinds}")
            continue
        kind = kinds.pop()
        ascending(kind + " message", [int(r[0]) for r in rows])
        rows_of[kind] += [(int(r[0]), n.group(1) if n else None, r) for r, n in zip(rows, names)]
    for kind, rows in rows_of.items():
        if not rows:
            problems.append(f"the README has no {kind} table")
            continue
        ours = {n: v for n, v in code.items() if n.startswith(kind + "_")}
        by_value = {}
        for name, value in ours.items():
            if value in by_value:
                problems.append(f"{by_value[value]} and {name} are both {value}")
            by_value[value] = name
        listed = [number for number, _, _ in rows]
        if sorted(listed) != list(range(1, max(listed) + 1)):
            problems.append(f"the {kind} rows skip or repeat a type: {sorted(listed)}")
        for number, name, row in rows:
            if name is None:
                if number in by_value:
                    problems.append(f"type {number} is listed as unused, but is {by_value[number]}")
            elif name not in ours:
                problems.append(f"the README lists {name}, which the code does not define")
            elif ours[name] != number:
                problems.append(f"the README gives {name} type {number}, the code {ours[name]}")
        for name in sorted(set(ours) - {name for _, name, _ in rows}):
            problems.append(f"{name} ({ours[name]}) has no row in the README")
    # Both rectangle events carry the same header.
    rect_types = {r[2][1]: re.match(r"x, y, w, h \((\w+)", r[2][2]) for r in rows_of["EVT"]
                  if r[1] in ("EVT_RECT", "EVT_RECT_DEFLATE")}
    if len({m.group(1) if m else None for m in rect_types.values()}) != 1:
        problems.append("EVT_RECT and EVT_RECT_DEFLATE give their x, y, w, h different types")


def check_extensions(readme, code):
    masks = tables(readme, "| mask bit | extension |")
    tags = tables(readme, "| field tag | value |")
    if len(masks) != 1 or len(tags) != 1:
        problems.append("the README has not exactly one mask table and one field-tag table")
        return
    listed = []
    for cell, *_ in masks[0]:
        m = re.fullmatch(r"`(0x[0-9A-Fa-f]+)` (\w+)", cell)
        if not m:
            problems.append(f"a mask row the test cannot read: {cell}")
            continue
        name = {"changed": "EXT_CHANGED_ONLY"}.get(m.group(2), "EXT_" + m.group(2).upper())
        listed.append(name)
        if code.get(name) != int(m.group(1), 16):
            problems.append(f"the README's mask bit {cell} is not {name} ({code.get(name)})")
    ascending("mask bit", [code.get(n, -1) for n in listed])
    for name in sorted(n for n in code if n.startswith("EXT_") and n not in listed):
        problems.append(f"{name} ({code[name]:#x}) has no row in the mask table")
    numbers = [int(r[0]) for r in tags[0]]
    ascending("field tag", numbers)
    fields = {v: n for n, v in code.items() if n.startswith("FIELD_")}
    for number in sorted(set(numbers) ^ set(fields)):
        problems.append(f"field tag {number} ({fields.get(number, 'not in the code')}) "
                        + ("is not in the README" if number in fields else "is only in the README"))


def check_manual(code):
    for number, name in re.findall(r"^\.B (\d+) ((?:CMD|EVT)_\w+)", read("docs/korvane.1"), re.M):
        if code.get(name) != int(number):
            problems.append(f"docs/korvane.1 gives {name} type {number}, the code {code.get(name)}")


def check_page(code):
    page = read("tools/web/page/protocol.js") + read("tools/web/page/app.js")
    pairs = []
    for kind, body in re.findall(r"export const (EVT|CMD) = \{(.*?)\};", page, re.S):
        pairs += [(kind + "_" + k, v) for k, v in re.findall(r"(\w+):\s*" + NUMBER, body)]
    pairs += re.findall(r"\b((?:EXT|FIELD)_\w+)\s*=\s*" + NUMBER, page)
    pairs += [("CODEC_ID_" + k, v) for k, v in re.findall(r"\bCODEC_(\w+)\s*=\s*" + NUMBER, page)]
    if len([p for p in pairs if p[0].startswith(("EVT_", "CMD_"))]) < 10:
        problems.append("the test found no EVT and CMD constants in the page's JavaScript")
    for name, value in pairs:
        if code.get(name) != int(value, 0):
            problems.append(f"the page's {name} is {value}, the code's {code.get(name)}")
    # A constant the page uses but does not define is undefined at run time: a case that never
    # matches, a command sent with type 0.
    defined = {name for name, _ in pairs}
    used = {k + "_" + n for k, n in re.findall(r"\b(EVT|CMD)\.(\w+)", page)}
    used |= set(re.findall(r"\b((?:EXT|FIELD)_\w+)\b", page))
    used |= {"CODEC_ID_" + n for n in re.findall(r"\bCODEC_(AVC\w+)\b", page)}
    for name in sorted(used - defined):
        problems.append(f"the page uses {name} but does not define it")


def check(repository):
    global root
    root = repository
    code = code_constants()
    readme = read("README.md")
    check_messages(readme, code)
    check_extensions(readme, code)
    check_manual(code)
    check_page(code)
    return code


SPOILERS = [
    ("tools/web/page/protocol.js", "CURSOR_USE: 11", "CURSOR_USE: 12"),
    ("tools/web/page/protocol.js", "CURSOR_STATE: 11, ", ""),
    ("tools/web/page/app.js", "EXT_TEXT = 0x20", "EXT_TEXT = 0x40"),
    ("tools/web/page/app.js", ", EXT_TEXT = 0x20", ""),
    ("src/host_link/registry.hpp", "EVT_RECT_DEFLATE = 26", "EVT_RECT_DEFLATE = 25"),
    ("src/host_link/registry.hpp", "FIELD_AUDIO_CODECS = 7", "FIELD_AUDIO_CODECS = 6"),
    ("src/host_link/audio_wire.hpp", "namespace korvane {",
     "namespace korvane {\nenum : uint8_t {\n  EVT_AUDIO_DATA = 24,\n};"),
    ("README.md", "| 14 | `CMD_SYNC_LOCKS` |", "| 15 | `CMD_SYNC_LOCKS` |"),
]


def catches_drift(repository):
    """Runs this script on spoilt copies; returns the spoilers it did not catch."""
    missed = []
    for path, old, new in SPOILERS:
        with tempfile.TemporaryDirectory() as copy:
            for name in READS:
                os.makedirs(os.path.dirname(os.path.join(copy, name)), exist_ok=True)
                shutil.copy(os.path.join(repository, name), os.path.join(copy, name))
            with open(os.path.join(copy, path), encoding="utf-8") as f:
                text = f.read()
            if old not in text:
                missed.append(f"{path} no longer holds {old!r}: update SPOILERS")
                continue
            with open(os.path.join(copy, path), "w", encoding="utf-8") as f:
                f.write(text.replace(old, new, 1))
            run = subprocess.run([sys.executable, __file__, copy], capture_output=True)
            if run.returncode == 0:
                missed.append(f"{path}: {old!r} -> {new!r} passed")
    return missed


args = sys.argv[1:]
if args and args[0] == "--catches-drift":
    repository = args[1] if len(args) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
    missed = catches_drift(repository)
    for m in missed:
        print("README tables test: DRIFT NOT CAUGHT:", m, file=sys.stderr)
    sys.exit(1 if missed else 0)
code = check(args[0] if args else os.path.join(os.path.dirname(__file__), "..", ".."))
if problems:
    for p in problems:
        print("README tables test: FAILED:", p, file=sys.stderr)
    sys.exit(1)
print(f"README tables test: {len(code)} constants agree")
