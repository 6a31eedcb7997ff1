# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""What each kind of device gives, on replicas of real hardware
(emulation.hardware): a laptop with a clickpad, a TrackPoint whose buttons
come through the touchpad, a lid switch, a power button and a built-in
keyboard, with a trackball and a touchscreen plugged in, on a machine whose
DMI data makes libinput's quirks for it apply.

libinput decides which gestures become key and button events, by its own
defaults in the backend's own context: the records are what it gives,
exactly, and `libinput debug-events` on the same replicas gives the same.

The cases are played one after the other to one backend, and then to one
peer, each on a fresh test bed. Every case ends with Escape tapped on the
keyboard, well after the gesture: once that is in, everything before it has
been read, so a gesture that gives nothing is seen to give nothing, and the
next case starts from rest.
"""

from __future__ import annotations

import contextlib
import dataclasses
import subprocess
from typing import Callable, Iterator, Union

import pytest

from emulation import (EXIT_TIMEOUT, Backend, TestBed, Unavailable, environment, hardware, launch,
                       record, wait_until)
from emulation.devices import (BTN_EXTRA, BTN_LEFT, BTN_MIDDLE, BTN_RIGHT, BTN_SIDE, Event,
                               time_stamp)
from emulation.hardware import (BTN_0, BTN_1, BTN_2, KEY_ESC, KEY_POWER, chord, click,
                                hold, keyed, lid, merged, nudge, press, swipe)
from emulation.peer import Peer, PeerEvent, launch_peer, peer_changes

L = hardware.laptop()
# The first event of a gesture, in µs after the start of its replay, and the
# Escape after its last one: far enough for the devices to be at rest
# again (no timer of libinput's running, no touchpad disabled by typing or
# by the TrackPoint).
T0 = 300_000
SENTINEL_GAP = 300_000
A, B, C = 30, 48, 46  # KEY_A, KEY_B, KEY_C

NAMES = {BTN_LEFT: "BTN_LEFT", BTN_RIGHT: "BTN_RIGHT", BTN_MIDDLE: "BTN_MIDDLE",
         BTN_SIDE: "BTN_SIDE", BTN_EXTRA: "BTN_EXTRA", KEY_POWER: "KEY_POWER",
         KEY_ESC: "KEY_ESC", A: "KEY_A", B: "KEY_B", C: "KEY_C"}

# Points on a touch surface, as fractions of its width and height.
MIDDLE, BOTTOM_RIGHT, BOTTOM_LEFT = (0.5, 0.4), (0.8, 0.95), (0.2, 0.95)


@dataclasses.dataclass(frozen=True)
class Gesture:
    """What each device replays (by the Laptop field that names it)."""

    scripts: dict[str, list[Event]]

    @property
    def end(self) -> int:
        return max(script[-1][0] for script in self.scripts.values())


def clickpad_click(where, fingers=1):
    """Fingers rest on the pad, which is pushed down and let go under them."""
    spots = [where, (where[0] - 0.2, where[1])][:fingers]
    return Gesture({"clickpad": merged(hold(L.clickpad, spots, T0, T0 + 400_000),
                                       click(BTN_LEFT, T0 + 100_000, 150_000))})


def trackpoint_buttons(*codes, held=100_000):
    """The TrackPoint's buttons, one after the other, as the touchpad reports them."""
    return Gesture({"clickpad": merged(*(click(code, T0 + i * 300_000, held)
                                         for i, code in enumerate(codes)))})


def lid_while_typing():
    return Gesture({"keyboard": merged(keyed(A, T0), keyed(B, T0 + 400_000),
                                       keyed(C, T0 + 800_000)),
                    "lid": merged(lid(True, T0 + 200_000), lid(False, T0 + 600_000))})


# replica, gesture, its scripts, and the records due: (code, state, time in
# the gesture).
CASES = [
    ("clickpad", "click, main area", clickpad_click(MIDDLE),
     [(BTN_LEFT, 1, T0 + 100_000), (BTN_LEFT, 0, T0 + 250_000)]),
    ("clickpad", "click, bottom-right area", clickpad_click(BOTTOM_RIGHT),
     [(BTN_RIGHT, 1, T0 + 100_000), (BTN_RIGHT, 0, T0 + 250_000)]),
    ("clickpad", "click, bottom-left area", clickpad_click(BOTTOM_LEFT),
     [(BTN_LEFT, 1, T0 + 100_000), (BTN_LEFT, 0, T0 + 250_000)]),
    ("clickpad", "two-finger click, main area", clickpad_click(MIDDLE, fingers=2),
     [(BTN_LEFT, 1, T0 + 100_000), (BTN_LEFT, 0, T0 + 250_000)]),
    ("clickpad", "one-finger tap", Gesture({"clickpad": hold(L.clickpad, [MIDDLE], T0,
                                                              T0 + 60_000)}), []),
    ("clickpad", "two-finger tap",
     Gesture({"clickpad": hold(L.clickpad, [MIDDLE, (0.3, 0.4)], T0, T0 + 60_000)}), []),
    ("clickpad", "finger motion",
     Gesture({"clickpad": swipe(L.clickpad, [(0.3, 0.3)], (0.4, 0.2), T0, 300_000)}), []),
    ("clickpad", "two-finger scroll",
     Gesture({"clickpad": swipe(L.clickpad, [(0.4, 0.2), (0.6, 0.2)], (0, 0.5), T0,
                                400_000)}), []),
    ("trackpoint", "left and right buttons", trackpoint_buttons(BTN_0, BTN_1),
     [(BTN_LEFT, 1, T0), (BTN_LEFT, 0, T0 + 100_000),
      (BTN_RIGHT, 1, T0 + 300_000), (BTN_RIGHT, 0, T0 + 400_000)]),
    ("trackpoint", "middle button", trackpoint_buttons(BTN_2),
     # The press waits for the release: the button also scrolls.
     [(BTN_MIDDLE, 1, T0), (BTN_MIDDLE, 0, T0 + 100_000)]),
    ("trackpoint", "middle button held, stick moved",
     Gesture({"clickpad": click(BTN_2, T0, 800_000),
              "trackpoint": nudge([(0, 3)] * 30, T0 + 300_000)}), []),
    ("trackpoint", "stick moved", Gesture({"trackpoint": nudge([(2, 1)] * 30, T0)}), []),
    ("trackball", "left, then right", Gesture({"trackball": merged(
        click(BTN_LEFT, T0, 100_000), click(BTN_RIGHT, T0 + 300_000, 100_000))}),
     [(BTN_LEFT, 1, T0), (BTN_LEFT, 0, T0 + 100_000),
      (BTN_RIGHT, 1, T0 + 300_000), (BTN_RIGHT, 0, T0 + 400_000)]),
    ("trackball", "side and extra buttons", Gesture({"trackball": merged(
        click(BTN_SIDE, T0, 100_000), click(BTN_EXTRA, T0 + 300_000, 100_000))}),
     [(BTN_SIDE, 1, T0), (BTN_SIDE, 0, T0 + 100_000),
      (BTN_EXTRA, 1, T0 + 300_000), (BTN_EXTRA, 0, T0 + 400_000)]),
    # Pressed in one report, so that no timer of libinput's comes between the
    # two presses, however late it reads them.
    ("trackball", "left+right together", Gesture({"trackball": merged(
        chord([BTN_LEFT, BTN_RIGHT], T0), press(BTN_LEFT, T0 + 200_000, value=0),
        press(BTN_RIGHT, T0 + 220_000, value=0))}),
     [(BTN_MIDDLE, 1, T0), (BTN_MIDDLE, 0, T0 + 200_000)]),
    ("trackball", "middle button (disabled by a quirk)",
     Gesture({"trackball": click(BTN_MIDDLE, T0, 100_000)}), []),
    ("power button", "press", Gesture({"power": click(KEY_POWER, T0, 150_000)}),
     [(KEY_POWER, 1, T0), (KEY_POWER, 0, T0 + 150_000)]),
    ("lid + keyboard", "lid closed and opened while typing", lid_while_typing(),
     [(A, 1, T0), (A, 0, T0 + 50_000),
      (B, 1, T0 + 400_000), (B, 0, T0 + 450_000),
      (C, 1, T0 + 800_000), (C, 0, T0 + 850_000)]),
    ("lid + clickpad", "click with the lid closed", Gesture({
        "lid": merged(lid(True, T0), lid(False, T0 + 800_000)),
        "clickpad": merged(hold(L.clickpad, [MIDDLE], T0 + 200_000, T0 + 600_000),
                           click(BTN_LEFT, T0 + 300_000, 150_000))}), []),
    ("touchscreen", "one-finger touch",
     Gesture({"touchscreen": hold(L.touchscreen, [MIDDLE], T0, T0 + 150_000)}), []),
    ("touchscreen", "two-finger touch",
     Gesture({"touchscreen": hold(L.touchscreen, [MIDDLE, (0.7, 0.4)], T0,
                                  T0 + 150_000)}), []),
]


def with_sentinel(gesture: Gesture) -> dict[str, list[Event]]:
    """The gesture's scripts, with Escape tapped on the keyboard after it."""
    scripts = dict(gesture.scripts)
    scripts["keyboard"] = merged(scripts.get("keyboard", []),
                                 keyed(KEY_ESC, gesture.end + SENTINEL_GAP))
    return scripts


def sentinel(gesture: Gesture):
    end = gesture.end + SENTINEL_GAP
    return [(KEY_ESC, 1, end), (KEY_ESC, 0, end + 50_000)]


def is_sentinel_release(change: tuple[str, int, int]) -> bool:
    return change == ("KEYBOARD_KEY", KEY_ESC, 0)


def change_of(record: dict) -> tuple[str, int, int]:
    return record["event_name"], record["key_code"], record["state_code"]


Running = Union[Backend, Peer]


@contextlib.contextmanager
def laptop_testbed(dmi: str | None = hardware.X1_CARBON_3RD_DMI) -> Iterator[TestBed]:
    """A test bed with the laptop (L) on it, destroyed on leaving."""
    try:
        testbed = TestBed()
    except Unavailable as why:
        pytest.skip(str(why))
    try:
        assert hardware.install(testbed, dmi) == L
        yield testbed
    finally:
        testbed.close()


def play_cases(start: Callable[[TestBed], Running],
               read_case: Callable[[Running, int], None]) -> list[int]:
    """On a fresh laptop test bed, start a program, then play the cases one
    after the other, each once the one before has been read to its end.
    Returns when each case started (hardware.play)."""
    starts = []
    with laptop_testbed() as testbed:
        try:
            running = start(testbed)
        except Unavailable as why:
            pytest.skip(str(why))
        try:
            targets = {testbed.node_target(device) for device in L.all()}
            wait_until(lambda: targets <= running.open_files() or running.proc.poll() is not None,
                       "the program to open every device")
            for number, (_, _, gesture, _) in enumerate(CASES):
                starts.append(hardware.play(testbed, {
                    getattr(L, role): script for role, script in with_sentinel(gesture).items()}))
                read_case(running, number)
        finally:
            running.kill()
    return starts


@dataclasses.dataclass
class Played:
    """Per case: the backend's records and when its replays started, and
    the peer's events."""

    records: list[list[dict]]
    starts: list[int]
    peer: list[list[PeerEvent]]


@pytest.fixture(scope="module")
def played(programs) -> Played:
    """Every case played once to the backend and once to the peer."""
    records: list[list[dict]] = []
    peer_events: list[PeerEvent] = []

    def read_records(backend: Backend, number: int) -> None:
        case = backend.read_records(1)
        while not is_sentinel_release(change_of(case[-1])):
            case += backend.read_records(1)
        records.append(case)
        if number == len(CASES) - 1:
            assert backend.stop() == []

    def read_peer(peer: Peer, number: int) -> None:
        peer.wait_for(lambda events: sum(map(is_sentinel_release, peer_changes(events))) > number,
                      f"the Escape at the end of case {number}")
        if number == len(CASES) - 1:
            peer_events.extend(peer.stop())

    starts = play_cases(lambda testbed: launch(testbed, programs), read_records)
    play_cases(lambda testbed: launch_peer(testbed, programs), read_peer)
    by_case: list[list[PeerEvent]] = [[]]
    for event in peer_events:
        by_case[-1].append(event)
        if event.change() and is_sentinel_release(event.change()):
            by_case.append([])
    return Played(records, starts, by_case[:-1])


def due(start: int, expected) -> list[dict]:
    """The records of `expected`, for a gesture played from `start`."""
    return [record(time_stamp(start + t), NAMES[code], code, state,
                   "KEYBOARD_KEY" if code < BTN_0 else "POINTER_BUTTON")
            for code, state, t in expected]


@pytest.mark.parametrize("number", range(len(CASES)),
                         ids=[f"{replica}: {gesture}" for replica, gesture, *_ in CASES])
def test_replica_gives_exactly_these_records(number, played):
    _, _, gesture, expected = CASES[number]
    assert played.records[number] == due(played.starts[number], expected + sentinel(gesture))


def side_by_side(played: Played) -> str:
    """Per case, the backend's records and the peer's events in short form."""
    lines = []
    for (replica, gesture, *_), records, events in zip(CASES, played.records, played.peer):
        ours = [f"{r['event_name']} {r['key_name']} {r['state_code']}" for r in records]
        theirs = [event.short() for event in events if event.kind in SHOWN]
        lines.append(f"{replica}: {gesture}\n  backend: {'; '.join(ours)}\n"
                     f"  peer:    {'; '.join(theirs)}")
    return "\n".join(lines)


SHOWN = ("KEYBOARD_KEY", "POINTER_BUTTON", "SWITCH_TOGGLE")


def test_backend_says_what_the_peer_says(played):
    """The same replicas and gestures, the same key and button events in
    the same order as `libinput debug-events` (the switch toggles and the
    motion, scroll and touch events it also shows are not records)."""
    ours = [[change_of(r) for r in records] for records in played.records]
    theirs = [peer_changes(events) for events in played.peer]
    assert ours == theirs, side_by_side(played)


@pytest.mark.parametrize("device, dmi, applied, not_applied", [
    # [Lenovo X1 Carbon 3rd Touchpad] in 50-system-lenovo.quirks, by the DMI data
    (L.clickpad, hardware.X1_CARBON_3RD_DMI,
     ["ModelLenovoT450Touchpad=1", "AttrPalmPressureThreshold=150"], []),
    (L.clickpad, None, [], ["ModelLenovoT450Touchpad=1", "AttrPalmPressureThreshold=150"]),
    # [Logitech Marble Mouse Trackball] and [Trackball], by ids and name
    (L.trackball, None, ["ModelTrackball=1", "AttrEventCodeDisable=BTN_MIDDLE;"], []),
    # [Serial Keyboards]: the keyboard the lid switch pairs with
    (L.keyboard, None, ["AttrKeyboardIntegration=internal"], []),
], ids=["clickpad on the ThinkPad", "clickpad on another machine", "trackball", "keyboard"])
def test_libinput_quirks_apply_to_the_replicas(device, dmi, applied, not_applied, programs):
    """The table's cases stand on these quirks: libinput's own tool lists
    what it applies to the replica on the emulated machine."""
    with laptop_testbed(dmi) as testbed:
        try:
            listed = subprocess.run(["libinput", "quirks", "list", device.devnode],
                                    env=environment(testbed.root, programs.fixes),
                                    capture_output=True, text=True, timeout=EXIT_TIMEOUT)
        except FileNotFoundError as error:
            pytest.skip(f"libinput not found (apt-get install libinput-tools): {error}")
    quirks = set(listed.stdout.splitlines())
    assert set(applied) <= quirks and not set(not_applied) & quirks, listed
