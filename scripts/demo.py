# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Runs the built backend against an emulated keyboard and mouse and shows
its records as they arrive: a typed phrase, some motion and wheel turns
(which write nothing), a few clicks; then stops it with the stop command.

Run through scripts/demo, which builds first, puts the emulation kit on the
Python path and starts this under umockdev-wrapper: umockdev's library must
be in this process too, for the test bed to work.

    demo.py BACKEND UMOCKDEV_FIXES
"""

import sys
import time

from emulation import STOP, Programs, TestBed, devices, launch

PHRASE = "Hello Tapolux"


def main() -> int:
    programs = Programs(backend=sys.argv[1], fixes=sys.argv[2])
    # The replay's times start near this machine's monotonic clock, so the
    # time stamps look like those of a real session.
    start = int(time.monotonic() * 1_000_000) + 500_000
    typing = devices.typed(PHRASE, start, step_us=60_000)
    after = devices.end_of(typing) + 300_000
    pointing = devices.motion([(5, 3)] * 20, after)
    pointing += devices.wheel([1, 1, -1], devices.end_of(pointing) + 100_000)
    pointing += devices.clicks([devices.BTN_LEFT, devices.BTN_RIGHT, devices.BTN_LEFT],
                               devices.end_of(pointing) + 200_000, step_us=150_000)
    # Each device's replay runs from its own first event: an empty frame at
    # the start keeps the mouse behind the typing, as a person would be.
    pointing.insert(0, (start, devices.EV_SYN, devices.SYN_REPORT, 0))
    expected = len(devices.key_changes(typing + pointing))

    with TestBed() as bed:
        bed.add(devices.keyboard(0), typing)
        bed.add(devices.mouse(1), pointing)
        print(f"$ {programs.backend}    (typing {PHRASE!r}, moving, scrolling, clicking)",
              flush=True)
        backend = launch(bed, programs)
        try:
            for _ in range(expected):
                print(backend.read_lines(1)[0], end="", flush=True)
            print(f"$ echo {STOP.decode().strip()}    (to its standard input)", flush=True)
            backend.send(STOP)
            status = backend.wait()
            print(f"exit status {status}")
            return 0 if status == 0 else 1
        finally:
            backend.kill()


if __name__ == "__main__":
    sys.exit(main())
