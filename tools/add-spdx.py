#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Puts the line "SPDX-License-Identifier: MIT" into every source file of the
repository that git knows (C and C++ sources and headers, CMake files, shell
and Python scripts) that has none yet; prints the files it changed.

Usage: python3 tools/add-spdx.py [--check]
  --check   change nothing; exit status 1 when a file lacks the line
"""
import re
import subprocess
import sys
from pathlib import Path

TAG = "SPDX-License-Identifier: MIT"
SUFFIXES = {".c", ".cc", ".cpp", ".h", ".hpp", ".cmake", ".sh", ".py"}
# The tag as a comment line of its own, near the top.
TAGGED = re.compile(r"^\s*(#|//|/\*)\s*SPDX-License-Identifier:", re.MULTILINE)


def wanted(path):
    return path.suffix in SUFFIXES or path.name == "CMakeLists.txt"


def opening(text, path):
    """The lines of a script's opening comment, which the tag follows."""
    if path.suffix not in {".sh", ".py"}:
        return 0
    at = 0
    for line in text.splitlines():
        if not line.startswith("#"):
            break
        at += 1
    return at


def with_tag(text, path):
    lines = text.splitlines(keepends=True)
    if path.suffix in {".sh", ".py"}:
        # After the interpreter line and the script's opening comment (which
        # a script may print as its help), apart from it.
        at = 1 if lines and lines[0].startswith("#!") else 0
        start = at
        while at < len(lines) and lines[at].startswith("#"):
            at += 1
        insert = ["# " + TAG + "\n"]
        if at > start:
            insert = ["\n"] + insert
        return "".join(lines[:at] + insert + lines[at:])
    if path.suffix in {".cmake", ".txt"}:
        return "# " + TAG + "\n" + text
    if text.startswith("/*"):
        return "/* " + TAG + " */\n" + text
    return "// " + TAG + "\n" + text


def main():
    check = sys.argv[1:] == ["--check"]
    root = Path(__file__).resolve().parent.parent
    files = subprocess.run(["git", "-C", str(root), "ls-files", "-z"], check=True, capture_output=True).stdout
    lacking = []
    for name in files.decode().split("\0"):
        path = root / name
        if not name or not wanted(path) or not path.is_file():
            continue
        text = path.read_text(encoding="utf-8")
        if TAGGED.search("".join(text.splitlines(keepends=True)[: opening(text, path) + 30])):
            continue
        lacking.append(name)
        if not check:
            path.write_text(with_tag(text, path), encoding="utf-8")
    for name in lacking:
        print(name)
    return 1 if check and lacking else 0


if __name__ == "__main__":
    sys.exit(main())
