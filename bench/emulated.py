# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Test beds of emulated input devices for the benchmark.

A thin layer over the test suite's fixture generator (tests/emulated/devices.py,
imported by path): it puts the generated sysfs entries, udev database entries
and ioctl answers into a umockdev test bed and hands out the master side of
each device's pseudo-terminal, into which bench/replay writes the events.

The process must run under umockdev-wrapper. The programs measured get
UMOCKDEV_DIR and an LD_PRELOAD of the probe, the test suite's umockdev fixes
and umockdev's library, in that order (see Bed.environment).
"""

from __future__ import annotations

import gc
import importlib.util
import os
import pathlib
import sys

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

REPO = pathlib.Path(__file__).resolve().parent.parent


def _load_devices():
    path = REPO / "tests" / "emulated" / "devices.py"
    found = importlib.util.spec_from_file_location("tapolux_emulated_devices", path)
    module = importlib.util.module_from_spec(found)
    sys.modules[found.name] = module  # dataclasses looks the module up by name
    found.loader.exec_module(module)
    return module


devices = _load_devices()


class Bed:
    """A umockdev test bed with `keyboards` keyboards (event0, event1, ...)
    followed by `mice` mice. Only one may exist at a time in a process: the
    test bed's destructor unsets UMOCKDEV_DIR in the environment."""

    def __init__(self, workdir: pathlib.Path, keyboards: int, mice: int = 0):
        self.testbed = UMockdev.Testbed.new()
        self.root = pathlib.Path(self.testbed.get_root_dir())
        self.keyboards = [devices.keyboard(n) for n in range(keyboards)]
        self.mice = [devices.mouse(keyboards + n) for n in range(mice)]
        db = self.root / "run" / "udev" / "data"
        db.mkdir(parents=True, exist_ok=True)
        ioctls = workdir / f"ioctl-{os.path.basename(self.root)}"
        ioctls.mkdir(parents=True, exist_ok=True)
        self.masters: dict[int, int] = {}
        for dev in self.keyboards + self.mice:
            self.testbed.add_from_string(dev.sysfs_text())
            (db / dev.udev_db_name()).write_text(dev.udev_db_text())
            answers = ioctls / f"event{dev.number}.ioctl"
            answers.write_text(dev.ioctl_text())
            self.testbed.load_ioctl(dev.devnode, str(answers))
            self.masters[dev.number] = self.testbed.get_dev_fd(dev.devnode)

    @property
    def device_count(self) -> int:
        return len(self.keyboards) + len(self.mice)

    def replay_targets(self, count: int | None = None) -> list[tuple[int, int]]:
        """(master fd, event number) of the first `count` keyboards."""
        chosen = self.keyboards if count is None else self.keyboards[:count]
        return [(self.masters[d.number], d.number) for d in chosen]

    def environment(self, preload: list[str]) -> dict[str, str]:
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        env["UMOCKDEV_DIR"] = str(self.root)
        env["LD_PRELOAD"] = ":".join([*preload, "libumockdev-preload.so.0"])
        return env

    def close(self) -> None:
        self.testbed = None
        gc.collect()

    def __enter__(self) -> "Bed":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
