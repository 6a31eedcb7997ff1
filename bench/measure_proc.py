# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Measurements read from /proc: a program's CPU ticks, context switches and memory, and how busy the rest of the machine is."""

from __future__ import annotations

import contextlib
import os
import re
import time
from typing import Iterable

from emulation import process

PAGE = os.sysconf("SC_PAGE_SIZE")
TICK = os.sysconf("SC_CLK_TCK")


def _status_numbers(path: str, names: Iterable[str]) -> dict[str, int]:
    """The numbers after `name:` in a /proc status file (kB where it has units)."""
    with open(path) as f:
        text = f.read()
    return {k: int(re.search(rf"^{k}:\s+(\d+)", text, re.M).group(1)) for k in names}


def proc_ticks(pid: int) -> int:
    """utime + stime of the whole process, in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def proc_switches(pid: int) -> tuple[int, int]:
    """Voluntary and involuntary context switches summed over all threads."""
    vol = invol = 0
    for tid in process.threads(pid):
        try:
            counts = _status_numbers(f"/proc/{pid}/task/{tid}/status",
                                     ("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"))
        except FileNotFoundError:
            continue
        vol += counts["voluntary_ctxt_switches"]
        invol += counts["nonvoluntary_ctxt_switches"]
    return vol, invol


def proc_memory(pid: int) -> dict[str, int]:
    """VmHWM, VmRSS, RssAnon, RssFile in kB."""
    return _status_numbers(f"/proc/{pid}/status", ("VmHWM", "VmRSS", "RssAnon", "RssFile"))


def proc_waiting(pid: int) -> bool:
    """True while the main thread sleeps in a poll-like call."""
    return process.waiting_in_poll(pid)


class LoadMeter:
    """How busy the rest of the machine was: CPU time used by processes other
    than this benchmark (the driver and every child it has waited for),
    as a share of all CPUs."""

    def __init__(self):
        self.start = self._sample()

    @staticmethod
    def _sample():
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:]]
        busy = sum(fields[i] for i in (0, 1, 2, 5, 6, 7)) / TICK  # all but idle and iowait
        t = os.times()
        own = t.user + t.system + t.children_user + t.children_system
        return time.monotonic(), busy, own

    def others(self) -> float:
        used, available = self.totals()
        return used / available

    def totals(self) -> tuple[float, float]:
        """CPU seconds used by other processes, and CPU seconds there were."""
        t1, busy1, own1 = self._sample()
        t0, busy0, own0 = self.start
        return max(0.0, (busy1 - busy0) - (own1 - own0)), (t1 - t0) * (os.cpu_count() or 1)


class LoadTally:
    """Others' share of the CPUs over the timed runs of one part, leaving out
    the pauses between them."""

    def __init__(self):
        self.used = self.available = 0.0

    @contextlib.contextmanager
    def timed(self):
        meter = LoadMeter()
        yield
        used, available = meter.totals()
        self.used += used
        self.available += available

    def share(self) -> float:
        return self.used / self.available if self.available else 0.0
