# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Nothing leaks over a whole run: start-up, records, a device plugged in
later, the stop command and the release of both contexts.

LeakSanitizer cannot look: it stops the world with ptrace at exit, which the
contained backend refuses itself. valgrind's leak check runs inside the
process and needs no ptrace. valgrind knows neither Landlock nor the seccomp
call, so under it those two layers are left out (the backend takes that for
a kernel without them); the identity switch still happens."""

import shutil

import pytest

from emulation import START_US, devices, key_changes
from emulation.records import changes_of

pytestmark = pytest.mark.leaks

# Any definite leak or invalid access fails the run with this status. Values
# that the libraries hand the kernel half-initialised (libudev's netlink
# messages) are theirs, not ours, and left out.
VALGRIND_FAILED = 99
VALGRIND = ["valgrind", "--quiet", "--vgdb=no", "--leak-check=full",
            "--errors-for-leak-kinds=definite", "--undef-value-errors=no",
            f"--error-exitcode={VALGRIND_FAILED}"]


def test_a_whole_run_leaks_nothing(testbed, start_backend):
    if not shutil.which("valgrind"):
        pytest.skip("valgrind not found (apt-get install valgrind)")
    typed = devices.typed("ab", START_US)
    testbed.add(devices.keyboard(0), typed)
    backend = start_backend(under=VALGRIND)
    assert changes_of(backend.read_records(4, timeout=120)) == key_changes(typed)
    clicks = devices.clicks([devices.BTN_LEFT], START_US)
    testbed.plug(devices.mouse(1), clicks)
    assert changes_of(backend.read_records(2, timeout=120)) == key_changes(clicks)
    backend.send(b"stop\n")
    status = backend.wait(timeout=120)
    assert status == 0, f"exit status {status}, stderr:\n{backend.stderr}"
    assert "definitely lost" not in backend.stderr, backend.stderr
