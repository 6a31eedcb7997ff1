# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Measurements by counting calls: system calls (strace -c) and library calls (ltrace -c)."""

from __future__ import annotations

import pathlib
import re


# A row of strace -c's table: % time, seconds, µs per call, calls, errors
# (left blank where there were none), the system call; of ltrace -c's: the
# same without the errors, the function.
STRACE_ROW = re.compile(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(?P<calls>\d+)\s+(\d+\s+)?(?P<name>\w+)$")
LTRACE_ROW = re.compile(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(?P<calls>\d+)\s+(?P<name>\S+)$")


def strace_c(stem: pathlib.Path) -> tuple[str, ...]:
    """strace -c over the process and its children, into STEM.txt."""
    return ("strace", "-f", "-c", "-o", f"{stem}.txt")


def ltrace_c(path: pathlib.Path) -> tuple[str, ...]:
    """ltrace -c over the process, into `path`."""
    return ("ltrace", "-c", "-o", str(path))


def call_counts(path: pathlib.Path, row: re.Pattern = STRACE_ROW) -> dict[str, int]:
    """Calls by name from the table of strace -c (the system calls, and
    "total") or, with LTRACE_ROW, of ltrace -c (the library functions)."""
    calls = {}
    for line in path.read_text().splitlines():
        m = row.match(line)
        if m:
            calls[m.group("name")] = int(m.group("calls"))
    return calls
