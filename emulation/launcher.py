# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""What a launcher may do to the backend's process before the exec, as
callables for launch(preexec=...): run in the child once its standard
streams are in place, and inherited through the exec."""

from __future__ import annotations

import errno
import fcntl
import os
import signal
from typing import Callable

from .testbed import Unavailable

Preexec = Callable[[], None]


def blocking(*signals: int) -> Preexec:
    """Block `signals`, as a frontend that takes its signals through a
    signalfd does: the mask survives the exec."""
    return lambda: signal.pthread_sigmask(signal.SIG_BLOCK, signals)


def ignoring(signum: int) -> Preexec:
    """Set `signum` to SIG_IGN, which also survives the exec."""
    return lambda: signal.signal(signum, signal.SIG_IGN)


def nonblocking(fd: int) -> Preexec:
    """Set O_NONBLOCK on the open file behind `fd`."""
    return lambda: fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)


def closing(fd: int) -> Preexec:
    """Close `fd`, so that the backend starts without it."""
    return lambda: os.close(fd)


def without_landlock() -> Preexec:
    """Answer ENOSYS to the Landlock system calls, as a kernel built
    without Landlock, or without it among its active security modules, does.
    The filter is inherited through the exec and cannot be lifted."""
    try:
        import seccomp  # Debian's python3-seccomp, the binding of libseccomp
    except ImportError as error:
        raise Unavailable(f"python3-seccomp not found ({error})") from error

    def install() -> None:
        refuse = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
        for name in ("landlock_create_ruleset", "landlock_add_rule", "landlock_restrict_self"):
            refuse.add_rule(seccomp.ERRNO(errno.ENOSYS), name)
        refuse.load()

    return install


def sized_pipe(fd: int, size: int) -> Preexec:
    """Give the pipe behind `fd` room for `size` bytes (F_SETPIPE_SZ), while
    nothing can be in it yet: set later, it would race with the first
    records, and fail once they fill more than the new size."""
    return lambda: fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, size)


def steps(*preexecs: Preexec | None) -> Preexec:
    """Each of `preexecs` in turn; None stands for nothing to do."""

    def run() -> None:
        for preexec in preexecs:
            if preexec is not None:
                preexec()

    return run
