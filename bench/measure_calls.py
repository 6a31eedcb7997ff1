# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Measurements by counting calls: system calls (strace -c) and library calls (ltrace -c)."""

from __future__ import annotations

import pathlib
import re


def strace_c(stem: pathlib.Path) -> tuple[str, ...]:
    """strace -c over the process and its children, into STEM.txt."""
    return ("strace", "-f", "-c", "-o", f"{stem}.txt")


def strace_counts(path: pathlib.Path) -> dict[str, int]:
    """Calls by system call name (and "total") from strace -c's table."""
    calls = {}
    for line in path.read_text().splitlines():
        m = re.match(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(\d+\s+)?(\w+)$", line)
        if m:
            calls[m.group(3)] = int(m.group(1))
    return calls


def ltrace_c(path: pathlib.Path) -> tuple[str, ...]:
    """ltrace -c over the process, into `path`."""
    return ("ltrace", "-c", "-o", str(path))


def ltrace_counts(path: pathlib.Path) -> dict[str, int]:
    """Calls by library function from ltrace -c's table."""
    calls = {}
    for line in path.read_text().splitlines():
        m = re.match(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(\S+)$", line)
        if m:
            calls[m.group(2)] = int(m.group(1))
    return calls
