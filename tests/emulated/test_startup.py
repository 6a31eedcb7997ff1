# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""How the backend starts, and how it ends when it cannot."""

import pytest

from emulation import NO_DEVICES, START_US, devices


def open_failure(device):
    return f"Failed to open {device.devnode} because of Permission denied.\n"


@pytest.mark.parametrize("step, status, message", [
    ("udev_new", 1, "Failed to initialize udev.\n"),
    ("libinput_udev_create_context", 2, "Failed to initialize libinput from udev.\n"),
    ("libinput_udev_assign_seat", 3, "Failed to set seat.\n"),
])
def test_failed_input_setup_ends_with_its_status(testbed, start_backend, step, status, message):
    # A working keyboard, so that only the failed step can end the run.
    testbed.add(devices.keyboard(0), devices.taps([30], START_US))
    backend = start_backend(fail=step)
    assert backend.wait() == status
    assert backend.stderr == message
    assert backend.rest() == []


def test_seat_without_devices_ends_with_status_4(testbed, start_backend):
    backend = start_backend()
    assert backend.wait() == 4
    assert backend.stderr == NO_DEVICES
    assert backend.rest() == []


def test_no_openable_device_ends_with_status_4(testbed, start_backend):
    nodes = [devices.keyboard(0), devices.mouse(1), devices.keyboard(2)]
    for device in nodes:
        testbed.add(device)
        testbed.lock(device)
    backend = start_backend(as_nobody=True)
    assert backend.wait() == 4
    # libinput may add lines of its own about the failed devices.
    lines = backend.stderr.splitlines(keepends=True)
    for device in nodes:
        assert lines.count(open_failure(device)) == 1, backend.stderr
    assert lines[-1] == NO_DEVICES, backend.stderr
    assert backend.rest() == []


def test_devices_that_open_are_reported_beside_those_that_do_not(testbed, start_backend):
    locked = [devices.keyboard(0), devices.mouse(2)]
    for device in locked:
        testbed.add(device)
        testbed.lock(device)
    testbed.add(devices.keyboard(1), devices.typed("ab", START_US))
    backend = start_backend(as_nobody=True)
    assert [(r["key_name"], r["state_code"]) for r in backend.read_records(4)] == [
        ("KEY_A", 1), ("KEY_A", 0), ("KEY_B", 1), ("KEY_B", 0)]
    assert backend.terminate() == []
    lines = backend.stderr.splitlines(keepends=True)
    for device in locked:
        assert lines.count(open_failure(device)) == 1, backend.stderr
    assert open_failure(devices.keyboard(1)) not in lines
    assert NO_DEVICES not in lines
