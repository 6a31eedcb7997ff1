# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""What /proc shows of a running process: its open files, its threads, and
whether it sleeps waiting for input.

Each function is one look at a process that goes on running: by the time
the answer is used it may have changed. A check built from two looks must
look at the process (has it ended?) before it looks at what the process
changes, since once it has ended nothing of it changes any more.
"""

from __future__ import annotations

import os
import subprocess

# System calls a program sleeps in while it waits for input (x86-64 numbers):
# poll, select, epoll_wait, pselect6, ppoll, epoll_pwait, epoll_pwait2.
WAITING_SYSCALLS = frozenset({7, 23, 232, 270, 271, 281, 441})


def open_files(pid: int) -> set[str]:
    """What the open descriptors of process `pid` point to; empty once it
    has ended."""
    fd_dir = f"/proc/{pid}/fd"
    targets = set()
    try:
        names = os.listdir(fd_dir)
    except OSError:
        return targets  # ended
    for fd in names:
        try:
            targets.add(os.readlink(f"{fd_dir}/{fd}"))
        except OSError:
            pass  # closed while we looked
    return targets


def threads(pid: int) -> list[int]:
    """The thread ids of process `pid`; empty once it has ended."""
    try:
        return sorted(int(tid) for tid in os.listdir(f"/proc/{pid}/task"))
    except OSError:
        return []


def waiting_in_poll(pid: int, tid: int | None = None) -> bool:
    """Whether thread `tid` of process `pid` (its main thread by default)
    sleeps in a poll-like call (WAITING_SYSCALLS) at this moment."""
    path = f"/proc/{pid}/syscall" if tid is None else f"/proc/{pid}/task/{tid}/syscall"
    try:
        with open(path) as f:
            first = f.read().split()[0]
    except (OSError, IndexError):
        return False
    return first.isdigit() and int(first) in WAITING_SYSCALLS


class Looks:
    """The looks above at a process a class holds as `proc`: what the test
    bed needs of a program reading its devices (testbed.Reader, with the
    class's own `stderr`)."""

    proc: subprocess.Popen

    def running(self) -> bool:
        """Whether it has not ended yet."""
        return self.proc.poll() is None

    def open_files(self) -> set[str]:
        """What its open descriptors point to."""
        return open_files(self.proc.pid)

    def waiting_in_poll(self) -> bool:
        """Whether its main thread sleeps in its wait for input."""
        return waiting_in_poll(self.proc.pid)
