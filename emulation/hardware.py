# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Replicas of real input hardware, and gestures played on them.

Each replica copies a real device: its name, bus, vendor and product ids,
event codes, input properties and axis ranges are the real device's (as
libinput's own test suite describes them), so that libinput's installed
quirks match it as they match the real one. `laptop()` gives the built-in
devices of a ThinkPad X1 Carbon 3rd together with an external trackball
and touchscreen, `dmi_text()` the machine's DMI data, which libinput
matches its quirks against, and `install()` puts both on a test bed.

Gestures are scripts of events whose times count from the start of the
gesture. `play` writes them into the devices' nodes as it goes, each frame
when its time comes and stamped with the monotonic clock, as the kernel
stamps a real device's: libinput's timers (tap, middle-button emulation,
button scrolling, disable-while-typing) then run as on real hardware,
which they do not for times far from the clock. A test bed replays only
one script per device, and only on its own clock; `play` has neither
limit. `touches` turns finger positions into multitouch frames.
"""

from __future__ import annotations

import dataclasses
import itertools
import os
import struct
import time
from typing import TYPE_CHECKING, Iterable, Mapping, Sequence

from .devices import (BTN_EXTRA, BTN_LEFT, BTN_MIDDLE, BTN_RIGHT, BTN_SIDE, EV_ABS, EV_KEY,
                      EV_MSC, EV_REL, EV_SW, LED_CAPSL, LED_NUML, LED_SCROLLL, MSC_SCAN, REL_X, REL_Y,
                      SYN_REPORT, EV_SYN, Axis, Device, Event)

if TYPE_CHECKING:
    from .testbed import TestBed

# Codes from linux/input-event-codes.h.
KEY_ESC, KEY_POWER = 1, 116
BTN_0, BTN_1, BTN_2 = 0x100, 0x101, 0x102
BTN_TOOL_PEN, BTN_TOOL_RUBBER = 0x140, 0x141
BTN_TOOL_FINGER, BTN_TOOL_QUINTTAP, BTN_TOUCH = 0x145, 0x148, 0x14a
BTN_STYLUS, BTN_STYLUS2 = 0x14b, 0x14c
BTN_TOOL_DOUBLETAP, BTN_TOOL_TRIPLETAP, BTN_TOOL_QUADTAP = 0x14d, 0x14e, 0x14f
ABS_X, ABS_Y, ABS_PRESSURE, ABS_TOOL_WIDTH = 0x00, 0x01, 0x18, 0x1c
ABS_MT_SLOT, ABS_MT_POSITION_X, ABS_MT_POSITION_Y = 0x2f, 0x35, 0x36
ABS_MT_TRACKING_ID, ABS_MT_PRESSURE = 0x39, 0x3a
INPUT_PROP_POINTER, INPUT_PROP_DIRECT, INPUT_PROP_BUTTONPAD = 0, 1, 2
INPUT_PROP_POINTING_STICK = 5
SW_LID = 0
BUS_USB, BUS_I8042, BUS_HOST = 0x03, 0x11, 0x19

# The DMI modalias of a Lenovo ThinkPad X1 Carbon 3rd (type 20BS). With it,
# the section [Lenovo X1 Carbon 3rd Touchpad] of libinput's
# 50-system-lenovo.quirks applies to its touchpad.
X1_CARBON_3RD_DMI = ("dmi:bvnLENOVO:bvrN14ET24W(1.02):bd10/27/2014:svnLENOVO:pn20BS003BGE:"
                     "pvrThinkPadX1Carbon3rd:rvnLENOVO:rn20BS003BGE:rvrSDK0J40697WIN:"
                     "cvnLENOVO:ct10:cvrNone:")


def dmi_text(modalias: str = X1_CARBON_3RD_DMI) -> str:
    """The machine's DMI device, where libinput reads the modalias (through
    udev, from /sys/devices/virtual/dmi/id), for TestBed.add_system."""
    return ("P: /devices/virtual/dmi/id\n"
            f"E: MODALIAS={modalias}\n"
            "E: SUBSYSTEM=dmi\n"
            f"A: modalias={modalias}\n")


# --- the replicas ------------------------------------------------------------------

def thinkpad_keyboard(number: int) -> Device:
    """The built-in keyboard of a ThinkPad: "AT Translated Set 2 keyboard",
    i8042 bus, vendor 0x0001, product 0x0001. libinput's quirks take a
    serial keyboard for a built-in one, which the lid switch pairs with."""
    return Device(number=number, name="AT Translated Set 2 keyboard", kind="keyboard",
                  keys=tuple(range(1, 249)), leds=(LED_NUML, LED_CAPSL, LED_SCROLLL),
                  repeat=True, bus_id=(BUS_I8042, 0x0001, 0x0001, 0xab41))


def thinkpad_clickpad(number: int) -> Device:
    """The clickpad of a ThinkPad X1 Carbon 3rd: "SynPS/2 Synaptics
    TouchPad", i8042 bus, vendor 0x0002, product 0x0007, two slots. The whole
    pad is one button (buttonpad property), with software button areas at
    the bottom; BTN_0, BTN_1, BTN_2 are the TrackPoint's three buttons, which
    the touchpad reports and libinput hands to the TrackPoint."""
    return Device(
        number=number, name="SynPS/2 Synaptics TouchPad", kind="touchpad",
        keys=(BTN_0, BTN_1, BTN_2, BTN_LEFT, BTN_TOOL_FINGER, BTN_TOOL_QUINTTAP, BTN_TOUCH,
              BTN_TOOL_DOUBLETAP, BTN_TOOL_TRIPLETAP, BTN_TOOL_QUADTAP),
        axes=(Axis(ABS_X, 1266, 5676, 45), Axis(ABS_Y, 1096, 4758, 68),
              Axis(ABS_PRESSURE, 0, 255), Axis(ABS_TOOL_WIDTH, 0, 15),
              Axis(ABS_MT_SLOT, 0, 1), Axis(ABS_MT_POSITION_X, 1266, 5676, 45),
              Axis(ABS_MT_POSITION_Y, 1096, 4758, 68), Axis(ABS_MT_TRACKING_ID, 0, 65535),
              Axis(ABS_MT_PRESSURE, 0, 255)),
        props=(INPUT_PROP_POINTER, INPUT_PROP_BUTTONPAD), msc=(),
        bus_id=(BUS_I8042, 0x0002, 0x0007, 0x01b1))


def thinkpad_trackpoint(number: int) -> Device:
    """The TrackPoint of the same ThinkPad: "TPPS/2 IBM TrackPoint", i8042
    bus, vendor 0x0002, product 0x000a, pointing-stick property. Its buttons
    come through the touchpad (BTN_0..BTN_2 there)."""
    return Device(number=number, name="TPPS/2 IBM TrackPoint", kind="pointingstick",
                  keys=(BTN_LEFT, BTN_RIGHT, BTN_MIDDLE), rels=(REL_X, REL_Y),
                  props=(INPUT_PROP_POINTER, INPUT_PROP_POINTING_STICK), msc=(),
                  bus_id=(BUS_I8042, 0x0002, 0x000a, 0x0063))


def lid_switch(number: int) -> Device:
    """The ACPI lid switch: "Lid Switch", host bus, product 0x0005, SW_LID."""
    return Device(number=number, name="Lid Switch", kind="switch", switches=(SW_LID,),
                  msc=(), bus_id=(BUS_HOST, 0x0000, 0x0005, 0x0000))


def power_button(number: int) -> Device:
    """The ACPI power button: "Power Button", host bus, product 0x0001, one
    key, KEY_POWER; udev marks it a key device, not a keyboard."""
    return Device(number=number, name="Power Button", kind="key", keys=(KEY_POWER,), msc=(),
                  bus_id=(BUS_HOST, 0x0000, 0x0001, 0x0000))


def marble_trackball(number: int) -> Device:
    """The Logitech Marble Mouse: "Logitech USB Trackball", USB, vendor
    0x046d, product 0xc408, with side and extra buttons. It claims a middle
    button that it lacks: libinput's 30-vendor-logitech.quirks disables
    BTN_MIDDLE ([Logitech Marble Mouse Trackball]), so libinput emulates it
    from left and right pressed together; 10-generic-trackball.quirks makes
    it a trackball by its name."""
    return Device(number=number, name="Logitech USB Trackball", kind="mouse",
                  keys=(BTN_LEFT, BTN_RIGHT, BTN_MIDDLE, BTN_SIDE, BTN_EXTRA),
                  rels=(REL_X, REL_Y), bus_id=(BUS_USB, 0x046d, 0xc408, 0x0110))


def touchscreen(number: int) -> Device:
    """The touchscreen of a ThinkPad X220/X230 Tablet: "Wacom ISDv4 E6
    Finger", USB, vendor 0x056a, product 0x00e6, two slots, direct-input
    property. Its only key is BTN_TOUCH."""
    return Device(number=number, name="Wacom ISDv4 E6 Finger", kind="touchscreen",
                  keys=(BTN_TOUCH,),
                  axes=(Axis(ABS_X, 0, 2776, 10), Axis(ABS_Y, 0, 1569, 9),
                        Axis(ABS_MT_SLOT, 0, 1), Axis(ABS_MT_POSITION_X, 0, 2776, 10),
                        Axis(ABS_MT_POSITION_Y, 0, 1569, 9),
                        Axis(ABS_MT_TRACKING_ID, 0, 65535)),
                  props=(INPUT_PROP_DIRECT,), msc=(), bus_id=(BUS_USB, 0x056a, 0x00e6, 0x0100))


def pen_tablet(number: int) -> Device:
    """The pen of the same ThinkPad X220/X230 Tablet's screen: "Wacom ISDv4
    E6 Pen", USB, vendor 0x056a, product 0x00e6, pen and eraser with two
    side buttons, direct-input property. libinput looks it up in libwacom's
    database (isdv4-e6.tablet) when it is added. Its events are tablet-tool
    events, which write no record."""
    return Device(number=number, name="Wacom ISDv4 E6 Pen", kind="tablet",
                  keys=(BTN_TOOL_PEN, BTN_TOOL_RUBBER, BTN_TOUCH, BTN_STYLUS, BTN_STYLUS2),
                  axes=(Axis(ABS_X, 0, 27760, 100), Axis(ABS_Y, 0, 15694, 100),
                        Axis(ABS_PRESSURE, 0, 255)),
                  props=(INPUT_PROP_DIRECT,), msc=(), bus_id=(BUS_USB, 0x056a, 0x00e6, 0x0100))


@dataclasses.dataclass(frozen=True)
class Laptop:
    """The replicas of one machine, at event0 to event6."""

    keyboard: Device
    clickpad: Device
    trackpoint: Device
    lid: Device
    power: Device
    trackball: Device
    touchscreen: Device

    def all(self) -> list[Device]:
        return [getattr(self, field.name) for field in dataclasses.fields(self)]


def laptop() -> Laptop:
    """A ThinkPad X1 Carbon 3rd with a Marble Mouse and a touchscreen plugged in."""
    return Laptop(*(make(n) for n, make in enumerate(
        (thinkpad_keyboard, thinkpad_clickpad, thinkpad_trackpoint, lid_switch, power_button,
         marble_trackball, touchscreen))))


def install(testbed: TestBed, dmi: str | None = X1_CARBON_3RD_DMI) -> Laptop:
    """Put the laptop's devices on `testbed`, and the machine's DMI data
    unless `dmi` is None; returns the devices."""
    if dmi is not None:
        testbed.add_system(dmi_text(dmi))
    machine = laptop()
    for device in machine.all():
        testbed.add(device)
    return machine


# --- gestures ------------------------------------------------------------------------

Point = tuple[float, float]  # a position as fractions of the axes' ranges, (0, 0) top left
TOOLS = {1: BTN_TOOL_FINGER, 2: BTN_TOOL_DOUBLETAP, 3: BTN_TOOL_TRIPLETAP}
PRESSURE = 50  # a finger's: above libinput's touch threshold, far below a palm's


def _scaled(device: Device, code: int, fraction: float) -> int:
    axis = next(axis for axis in device.axes if axis.code == code)
    return round(axis.minimum + fraction * (axis.maximum - axis.minimum))


def touches(device: Device, frames: Sequence[tuple[int, Mapping[int, Point]]]) -> list[Event]:
    """Multitouch frames: at each time, the fingers down, slot: position
    (up to three fingers).

    Each frame says only what changed, as the kernel does: a new finger
    gets a tracking id, a finger that has gone gets -1; then the
    single-touch axes of the first finger, BTN_TOUCH and (on a touchpad)
    the BTN_TOOL_* of the finger count, and SYN_REPORT. A frame in which
    nothing changed is left out.
    """
    codes = {axis.code for axis in device.axes}
    touchpad = BTN_TOOL_FINGER in device.keys
    events: list[Event] = []
    before: Mapping[int, Point] = {}
    sent: dict[int, int] = {}  # the single-touch axes' last values
    next_id = 1
    for t, now in frames:
        frame: list[tuple[int, int, int]] = []
        for slot in sorted(before.keys() | now.keys()):
            old, new = before.get(slot), now.get(slot)
            if new == old:
                continue
            frame.append((EV_ABS, ABS_MT_SLOT, slot))
            if old is None:
                frame.append((EV_ABS, ABS_MT_TRACKING_ID, next_id))
                next_id += 1
            if new is None:
                frame.append((EV_ABS, ABS_MT_TRACKING_ID, -1))
                continue
            frame += [(EV_ABS, ABS_MT_POSITION_X, _scaled(device, ABS_MT_POSITION_X, new[0])),
                      (EV_ABS, ABS_MT_POSITION_Y, _scaled(device, ABS_MT_POSITION_Y, new[1]))]
            if old is None and ABS_MT_PRESSURE in codes:
                frame.append((EV_ABS, ABS_MT_PRESSURE, PRESSURE))
        if bool(now) != bool(before):
            frame.append((EV_KEY, BTN_TOUCH, int(bool(now))))
        if touchpad and len(now) != len(before):
            if before:
                frame.append((EV_KEY, TOOLS[len(before)], 0))
            if now:
                frame.append((EV_KEY, TOOLS[len(now)], 1))
        single = {}
        if now:
            x, y = now[min(now)]
            single = {ABS_X: _scaled(device, ABS_X, x), ABS_Y: _scaled(device, ABS_Y, y)}
        if ABS_PRESSURE in codes:
            single[ABS_PRESSURE] = PRESSURE if now else 0
        for code, value in single.items():
            if sent.get(code) != value:
                frame.append((EV_ABS, code, value))
                sent[code] = value
        if frame:
            events += [(t, *event) for event in frame] + [(t, EV_SYN, SYN_REPORT, 0)]
        before = now
    return events


def hold(device: Device, fingers: Sequence[Point], down_us: int, up_us: int) -> list[Event]:
    """Fingers put down together at down_us, kept still, lifted at up_us."""
    return touches(device, [(down_us, dict(enumerate(fingers))), (up_us, {})])


def swipe(device: Device, starts: Sequence[Point], move: Point, down_us: int,
          duration_us: int, step_us: int = 10_000) -> list[Event]:
    """Fingers put down together at `starts` and moved by `move` over
    duration_us, one frame every step_us, then lifted."""
    steps = duration_us // step_us
    frames = [(down_us + i * step_us,
               {slot: (x + move[0] * i / steps, y + move[1] * i / steps)
                for slot, (x, y) in enumerate(starts)}) for i in range(steps + 1)]
    return touches(device, frames + [(down_us + duration_us + step_us, {})])


def press(code: int, at_us: int, ev_type: int = EV_KEY, value: int = 1) -> list[Event]:
    """One key, button or switch change in a frame of its own (no scan code)."""
    return [(at_us, ev_type, code, value), (at_us, EV_SYN, SYN_REPORT, 0)]


def chord(codes: Sequence[int], at_us: int, value: int = 1) -> list[Event]:
    """Several buttons pressed (or released) in one frame, as a device
    reports buttons pressed within one of its reports."""
    return [(at_us, EV_KEY, code, value) for code in codes] + [(at_us, EV_SYN, SYN_REPORT, 0)]


def click(code: int, at_us: int, held_us: int) -> list[Event]:
    """A button pressed at at_us and released held_us later."""
    return press(code, at_us) + press(code, at_us + held_us, value=0)


def lid(closed: bool, at_us: int) -> list[Event]:
    return press(SW_LID, at_us, EV_SW, int(closed))


def nudge(moves: Iterable[Point], start_us: int, step_us: int = 10_000) -> list[Event]:
    """Relative motion (a TrackPoint's, a trackball's), one frame per move."""
    events: list[Event] = []
    for i, (dx, dy) in enumerate(moves):
        t = start_us + i * step_us
        events += [(t, EV_REL, REL_X, int(dx)), (t, EV_REL, REL_Y, int(dy)),
                   (t, EV_SYN, SYN_REPORT, 0)]
    return events


def merged(*scripts: Sequence[Event]) -> list[Event]:
    """Scripts of one device played together, in time order (stable, so
    that the events of one frame stay together)."""
    return sorted((event for script in scripts for event in script), key=lambda e: e[0])


def keyed(code: int, at_us: int, held_us: int = 50_000) -> list[Event]:
    """A key tap on a keyboard that reports scan codes."""
    return [(at_us, EV_MSC, MSC_SCAN, code), *press(code, at_us),
            (at_us + held_us, EV_MSC, MSC_SCAN, code), *press(code, at_us + held_us, value=0)]


# --- playing -------------------------------------------------------------------------

# struct input_event on 64-bit Linux: the time (seconds, microseconds), type,
# code and value.
_INPUT_EVENT = struct.Struct("qqHHi")


def play(testbed: TestBed, scripts: Mapping[Device, Sequence[Event]]) -> int:
    """Play the scripts of several devices together, now; returns once the
    last event is written. Each frame is written into its device's node
    whole, when its time has come, stamped with the monotonic clock's
    start + time. Returns start, in µs (see devices.time_stamp)."""
    frames = sorted(((t, device.number, device, [event for _, event in group])
                     for device, script in scripts.items()
                     for t, group in itertools.groupby(
                         ((t, (t, *rest)) for t, *rest in script), key=lambda e: e[0])),
                    key=lambda frame: frame[:2])
    start = time.clock_gettime_ns(time.CLOCK_MONOTONIC) // 1000
    for t, _, device, events in frames:
        due = (start + t) / 1e6
        while (left := due - time.clock_gettime(time.CLOCK_MONOTONIC)) > 0:
            time.sleep(left)
        os.write(testbed.device_fd(device), b"".join(
            _INPUT_EVENT.pack(*divmod(start + et, 1_000_000), ev_type, code, value)
            for et, ev_type, code, value in events))
    return start
