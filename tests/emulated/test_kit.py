# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""The launch options that tests of unusual launch conditions build on:
a standard output handed over, and code run in the child before the exec."""

import os

from emulation import START_US, changes_of, devices, key_changes, parse_output, wait_until


def test_standard_output_handed_over_gets_the_records(testbed, start_backend, tmp_path):
    events = devices.typed("ok", START_US)
    testbed.add(devices.keyboard(0), events)
    path = tmp_path / "records"
    with open(path, "wb") as out:
        backend = start_backend(stdout=out)
    due = len(key_changes(events))
    wait_until(lambda: path.read_bytes().count(b"\n") >= due, f"{due} records in {path}")
    assert backend.stop() == []
    assert changes_of(parse_output(path.read_bytes())) == key_changes(events)


def test_preexec_runs_once_the_standard_streams_are_in_place(testbed, start_backend):
    testbed.add(devices.keyboard(0))
    backend = start_backend(preexec=lambda: os.write(2, b"before exec\n"))
    assert backend.stop() == []
    assert backend.stderr.startswith("before exec\n"), backend.stderr
