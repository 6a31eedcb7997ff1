# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Waiting for something that another process makes happen."""

from __future__ import annotations

import time
from typing import Callable

from .constants import EXIT_TIMEOUT


def wait_until(condition: Callable[[], bool], what: str | Callable[[], str],
               timeout: float = EXIT_TIMEOUT, pause: float = 0.005) -> None:
    """Check `condition` every `pause` seconds until it holds; fail after
    `timeout` seconds, saying that `what` did not happen (a function gives a
    text made when it fails, with the state at that moment)."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            text = what() if callable(what) else what
            raise AssertionError(f"{text} did not happen within {timeout} s")
        time.sleep(pause)
