# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Measurements under valgrind: instructions by library (callgrind) and the peak heap (massif)."""

from __future__ import annotations

import os
import pathlib
import re
import subprocess


def valgrind(tool: str, stem: pathlib.Path) -> tuple[str, ...]:
    """A valgrind tool writing STEM.out. libinput's launcher execs the
    debug-events tool: the exec is followed, in the same process.

    The file is made here, writable by anyone: a backend started as root is
    nobody by the time valgrind writes it at the end, and callgrind makes it
    at the start, as root, to see that it can."""
    out = pathlib.Path(f"{stem}.out")
    out.touch()
    out.chmod(0o666)
    return ("valgrind", f"--tool={tool}", "--quiet", "--trace-children=yes",
            f"--{tool}-out-file={out}")


def callgrind_lines(path: pathlib.Path, inclusive: bool, threshold: int):
    """(instructions, percent, rest of the line) of callgrind_annotate's rows."""
    text = subprocess.run(["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}",
                           f"--threshold={threshold}", str(path)],
                          capture_output=True, text=True, check=True).stdout
    for line in text.splitlines():
        m = re.match(r"^\s*([\d,]+) \(\s*([\d.]+)%\)\s+(.*)$", line)
        if m and not m.group(3).startswith("PROGRAM TOTALS"):
            yield int(m.group(1).replace(",", "")), m.group(2), m.group(3)


def callgrind_objects(path: pathlib.Path) -> dict[str, int]:
    """Instructions by shared object (the program itself included)."""
    sums: dict[str, int] = {}
    for ir, _, rest in callgrind_lines(path, inclusive=False, threshold=100):
        m = re.match(r".*\[(.+)\]$", rest)
        if m:
            sums[m.group(1)] = sums.get(m.group(1), 0) + ir
    return sums


def object_group(obj: str) -> str:
    """The row of the table that a shared object's instructions count in."""
    name = os.path.basename(obj)
    if name.startswith("libinput.so"):
        return "libinput"
    if name.startswith("libevdev.so"):
        return "libevdev"
    if name.startswith("libudev.so"):
        return "libudev"
    if name.startswith(("libc.so", "ld-linux")):
        return "libc"
    if name.startswith(("libstdc++", "libgcc_s")):
        return "libstdc++"
    if name.startswith(("libumockdev", "libglib", "libgobject", "libgio", "libgmodule")):
        return "umockdev emulation"
    if name in ("probe.so", "umockdev_fixes.so"):
        return "bench probe and test fixes"
    if name.startswith("vgpreload"):
        return "valgrind"
    return "program itself"


def massif_peak(path: pathlib.Path):
    """The heap and the allocator's overhead at the snapshot where both together peak."""
    peak_total, peak = -1, None
    snap = {}
    for line in path.read_text().splitlines():
        if line.startswith("snapshot="):
            snap = {}
        m = re.match(r"(mem_heap_B|mem_heap_extra_B)=(\d+)", line)
        if m:
            snap[m.group(1)] = int(m.group(2))
            if len(snap) == 2 and sum(snap.values()) > peak_total:
                peak_total, peak = sum(snap.values()), dict(snap)
    return {"peak_heap_kb": peak["mem_heap_B"] / 1024, "peak_extra_kb": peak["mem_heap_extra_B"] / 1024}
