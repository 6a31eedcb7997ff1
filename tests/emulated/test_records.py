# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""What the backend writes for keys and buttons of emulated devices."""

import pytest

from emulation import START_US, devices, record
from emulation.devices import BTN_LEFT, BTN_MIDDLE, BTN_RIGHT, BTN_SIDE

KEYBOARD_HI = [
    '{"event_name": "KEYBOARD_KEY", "event_type": 300, "time_stamp": 1000000, "key_name": "KEY_LEFTSHIFT", "key_code": 42, "state_name": "PRESSED", "state_code": 1}\n',
    '{"event_name": "KEYBOARD_KEY", "event_type": 300, "time_stamp": 1000020, "key_name": "KEY_H", "key_code": 35, "state_name": "PRESSED", "state_code": 1}\n',
    '{"event_name": "KEYBOARD_KEY", "event_type": 300, "time_stamp": 1000040, "key_name": "KEY_H", "key_code": 35, "state_name": "RELEASED", "state_code": 0}\n',
    '{"event_name": "KEYBOARD_KEY", "event_type": 300, "time_stamp": 1000060, "key_name": "KEY_LEFTSHIFT", "key_code": 42, "state_name": "RELEASED", "state_code": 0}\n',
    '{"event_name": "KEYBOARD_KEY", "event_type": 300, "time_stamp": 1000080, "key_name": "KEY_I", "key_code": 23, "state_name": "PRESSED", "state_code": 1}\n',
    '{"event_name": "KEYBOARD_KEY", "event_type": 300, "time_stamp": 1000100, "key_name": "KEY_I", "key_code": 23, "state_name": "RELEASED", "state_code": 0}\n',
    '{"event_name": "KEYBOARD_KEY", "event_type": 300, "time_stamp": 1000120, "key_name": "KEY_1", "key_code": 2, "state_name": "PRESSED", "state_code": 1}\n',
    '{"event_name": "KEYBOARD_KEY", "event_type": 300, "time_stamp": 1000140, "key_name": "KEY_1", "key_code": 2, "state_name": "RELEASED", "state_code": 0}\n',
]

MOUSE_CLICKS = [
    '{"event_name": "POINTER_BUTTON", "event_type": 402, "time_stamp": 1000000, "key_name": "BTN_LEFT", "key_code": 272, "state_name": "PRESSED", "state_code": 1}\n',
    '{"event_name": "POINTER_BUTTON", "event_type": 402, "time_stamp": 1000100, "key_name": "BTN_LEFT", "key_code": 272, "state_name": "RELEASED", "state_code": 0}\n',
    '{"event_name": "POINTER_BUTTON", "event_type": 402, "time_stamp": 1000200, "key_name": "BTN_RIGHT", "key_code": 273, "state_name": "PRESSED", "state_code": 1}\n',
    '{"event_name": "POINTER_BUTTON", "event_type": 402, "time_stamp": 1000300, "key_name": "BTN_RIGHT", "key_code": 273, "state_name": "RELEASED", "state_code": 0}\n',
    '{"event_name": "POINTER_BUTTON", "event_type": 402, "time_stamp": 1000400, "key_name": "BTN_SIDE", "key_code": 275, "state_name": "PRESSED", "state_code": 1}\n',
    '{"event_name": "POINTER_BUTTON", "event_type": 402, "time_stamp": 1000500, "key_name": "BTN_SIDE", "key_code": 275, "state_name": "RELEASED", "state_code": 0}\n',
]


@pytest.mark.parametrize("device, events, expected", [
    pytest.param(devices.keyboard(0), devices.typed("Hi1", START_US), KEYBOARD_HI,
                 id="keyboard-phrase"),
    pytest.param(devices.mouse(0), devices.clicks([BTN_LEFT, BTN_RIGHT, BTN_SIDE], START_US),
                 MOUSE_CLICKS, id="mouse-clicks"),
])
def test_records_are_written_exactly(testbed, start_backend, device, events, expected):
    testbed.add(device, events)
    backend = start_backend()
    assert backend.read_lines(len(expected)) == expected
    assert backend.terminate() == []


@pytest.mark.parametrize("events", [
    pytest.param(devices.motion([(5, 0), (0, 5), (-3, -4), (10, 10)] * 5, START_US), id="motion"),
    pytest.param(devices.wheel([1, 1, -1, -1, 1], START_US), id="wheel"),
    pytest.param(devices.wheel([1, -1, 1], START_US, axis=devices.REL_HWHEEL), id="horizontal-wheel"),
])
def test_motion_and_scrolling_write_nothing(testbed, start_backend, events):
    # The click after the motion is the marker: every record the motion might
    # have caused would come before it.
    click = devices.clicks([BTN_MIDDLE], devices.end_of(events) + 100_000)
    testbed.add(devices.mouse(0, rels=(devices.REL_X, devices.REL_Y,
                                       devices.REL_WHEEL, devices.REL_HWHEEL)),
                events + click)
    backend = start_backend()
    assert [(r["key_name"], r["state_code"]) for r in backend.read_records(2)] == [
        ("BTN_MIDDLE", 1), ("BTN_MIDDLE", 0)]
    assert backend.terminate() == []


@pytest.mark.parametrize("device, codes, event_name", [
    pytest.param(devices.keyboard(0), [84, 195], "KEYBOARD_KEY", id="keyboard"),
    pytest.param(devices.mouse(0, buttons=(BTN_LEFT, 0x118, 0x11F)), [0x118, 0x11F],
                 "POINTER_BUTTON", id="mouse"),
])
def test_codes_without_a_name_are_named_null(testbed, start_backend, device, codes, event_name):
    # libinput passes these on although libevdev has no name for them.
    testbed.add(device, devices.clicks(codes, START_US))
    backend = start_backend()
    assert [(r["event_name"], r["key_name"], r["key_code"], r["state_code"])
            for r in backend.read_records(2 * len(codes))] == [
        (event_name, "null", code, state) for code in codes for state in (1, 0)]


@pytest.mark.parametrize("press_ms, release_ms, written", [
    pytest.param(2**31 - 1, 2**31, (2**31 - 1, -2**31), id="across-2^31"),
    pytest.param(3_000_000_000, 3_000_000_001, (-1_294_967_296, -1_294_967_295), id="beyond-2^31"),
    pytest.param(2**32 - 1, 2**32, (-1, 0), id="across-2^32"),
])
def test_time_stamps_are_written_as_signed_32_bit(testbed, start_backend,
                                                  press_ms, release_ms, written):
    events = devices.key(press_ms * 1000, 30, 1) + devices.key(release_ms * 1000, 30, 0)
    testbed.add(devices.keyboard(0), events)
    backend = start_backend()
    assert backend.read_records(2) == [record(written[0], "KEY_A", 30, 1),
                                       record(written[1], "KEY_A", 30, 0)]


def test_keyboard_plugged_in_while_running_is_reported(testbed, start_backend):
    testbed.add(devices.keyboard(0), devices.taps([devices.KEY_SPACE], START_US))
    backend = start_backend()
    # Its first records show that the backend is past its start-up, so the
    # new keyboard can only reach it through the "add" uevent.
    assert [r["key_name"] for r in backend.read_records(2)] == ["KEY_SPACE", "KEY_SPACE"]
    testbed.plug(devices.keyboard(1), devices.typed("ok", START_US))
    assert backend.read_records(4) == [
        record(1_000_000, "KEY_O", 24, 1), record(1_000_020, "KEY_O", 24, 0),
        record(1_000_040, "KEY_K", 37, 1), record(1_000_060, "KEY_K", 37, 0)]
    assert backend.terminate() == []

