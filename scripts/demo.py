# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Runs the built backend against an emulated keyboard and mouse and shows
its records as they arrive: a typed phrase, some motion and wheel turns
(which write nothing), a few clicks; then stops it with the stop command.

Run through scripts/demo, which builds first and starts this under
umockdev-wrapper: umockdev's library must be in this process too, for the
test bed to work.
"""

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "emulated"))

import devices  # noqa: E402
from conftest import UMOCKDEV_PRELOAD, Backend, TestBed  # noqa: E402

PHRASE = "Hello Tapolux"


def main() -> int:
    backend_path, fixes_path = sys.argv[1], sys.argv[2]
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
    expected = sum(1 for event in typing + pointing if event[1] == devices.EV_KEY)

    bed = TestBed()
    bed.add(devices.keyboard(0), typing)
    bed.add(devices.mouse(1), pointing)
    env = {"LD_PRELOAD": f"{fixes_path}:{UMOCKDEV_PRELOAD}", "UMOCKDEV_DIR": str(bed.root),
           "PATH": "/usr/bin:/bin"}
    print(f"$ {backend_path}    (typing {PHRASE!r}, moving, scrolling, clicking)", flush=True)
    backend = Backend([backend_path], env)
    try:
        bed.replay_when_opened(backend, bed.devices)
        for _ in range(expected):
            print(backend.read_lines(1)[0], end="", flush=True)
        print("$ echo stop    (to its standard input)", flush=True)
        backend.send(b"stop\n")
        status = backend.wait()
        print(f"exit status {status}")
        return 0 if status == 0 else 1
    finally:
        backend.kill()
        bed.close()


if __name__ == "__main__":
    sys.exit(main())
