# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Emulated input devices for umockdev, generated from short descriptions.

A Device names its event node number, its name, its key codes, relative and
absolute axes, switches and input properties; from that this module writes
what umockdev and libudev need:

- the sysfs text for UMockdev.Testbed.add_from_string (event node and its
  parent input device, with the capability masks as the kernel shows them),
- the udev database entry that libinput insists on (ID_INPUT_* properties),
- the ioctl answers for UMockdev.Testbed.load_ioctl, each of exactly the size
  libevdev 1.13 asks for (umockdev matches a request by number and size),
  with the axis ranges (EVIOCGABS) and, for a multitouch device, the slots
  (EVIOCGMTSLOTS),
- evemu event files for UMockdev.Testbed.load_evemu_events.

Events are plain tuples (time_us, type, code, value); the helpers at the end
build typed phrases, clicks, motion and wheel turns from them.
"""

from __future__ import annotations

import dataclasses
from typing import Iterable, Sequence

# Event types and codes from linux/input-event-codes.h.
EV_SYN, EV_KEY, EV_REL, EV_ABS, EV_MSC, EV_SW = 0x00, 0x01, 0x02, 0x03, 0x04, 0x05
EV_LED, EV_SND, EV_REP, EV_FF = 0x11, 0x12, 0x14, 0x15
SYN_REPORT = 0
MSC_SCAN = 4
ABS_MT_SLOT = 0x2f
REL_X, REL_Y, REL_HWHEEL, REL_WHEEL = 0x00, 0x01, 0x06, 0x08
LED_NUML, LED_CAPSL, LED_SCROLLL = 0, 1, 2
KEY_ENTER, KEY_LEFTSHIFT, KEY_SPACE = 28, 42, 57
BTN_LEFT, BTN_RIGHT, BTN_MIDDLE, BTN_SIDE, BTN_EXTRA = 0x110, 0x111, 0x112, 0x113, 0x114

# The characters that typed() knows, on a US layout.
_KEY_ROWS = {2: "1234567890", 16: "qwertyuiop", 30: "asdfghjkl", 44: "zxcvbnm"}
CHAR_KEYS = {ch: first + i for first, row in _KEY_ROWS.items() for i, ch in enumerate(row)}
CHAR_KEYS.update({" ": KEY_SPACE, "\n": KEY_ENTER, "-": 12, "=": 13, ",": 51, ".": 52, "/": 53})

# The letter keys in keyboard order, and libevdev's names of them.
LETTER_KEYS = [CHAR_KEYS[ch] for ch in "qwertyuiopasdfghjklzxcvbnm"]
LETTER_NAMES = {CHAR_KEYS[ch]: f"KEY_{ch.upper()}" for ch in "abcdefghijklmnopqrstuvwxyz"}

# Bitmap sizes in bytes that libevdev asks for with EVIOCGBIT(type), EVIOCGKEY,
# EVIOCGLED, EVIOCGSW and EVIOCGPROP; one unsigned long per 64 codes.
_BIT_BYTES = {0: 8, EV_KEY: 96, EV_REL: 8, EV_ABS: 8, EV_MSC: 8, EV_SW: 8,
              EV_LED: 8, EV_SND: 8, EV_FF: 16}
_BITS_ASKED = (0, EV_KEY, EV_REL, EV_ABS, EV_MSC, EV_SW, EV_LED, EV_SND, EV_FF)
_PROP_BYTES = 8
_STRING_BYTES = 255  # EVIOCGNAME/PHYS/UNIQ: libevdev passes a 256-byte buffer less one
# EVIOCGMTSLOTS: libevdev asks for the code and 256 slot values, one request
# per multitouch axis; umockdev matches by number and size only, so one
# answer serves every axis: -1 throughout, no finger in any slot.
_MT_SLOTS_BYTES = 4 * (1 + 256)

# The udev properties of each kind of device, as udev's input_id builtin
# sets them; libinput ignores a device without them.
KIND_PROPERTIES = {
    "keyboard": ("ID_INPUT_KEY", "ID_INPUT_KEYBOARD"),
    "key": ("ID_INPUT_KEY",),  # keys but no keyboard: a power button
    "mouse": ("ID_INPUT_MOUSE",),
    "pointingstick": ("ID_INPUT_MOUSE", "ID_INPUT_POINTINGSTICK"),
    "touchpad": ("ID_INPUT_TOUCHPAD",),
    "touchscreen": ("ID_INPUT_TOUCHSCREEN",),
    "tablet": ("ID_INPUT_TABLET",),
    "switch": ("ID_INPUT_SWITCH",),
}

INPUT_MAJOR = 13
FIRST_EVENT_MINOR = 64


@dataclasses.dataclass(frozen=True)
class Axis:
    """An absolute axis as EVIOCGABS reports it; resolution in units per mm."""

    code: int
    minimum: int
    maximum: int
    resolution: int = 0


@dataclasses.dataclass(frozen=True)
class Device:
    """An evdev device at /dev/input/event<number>."""

    number: int
    name: str
    kind: str  # a key of KIND_PROPERTIES: decides the udev properties
    keys: tuple[int, ...] = ()
    rels: tuple[int, ...] = ()
    axes: tuple[Axis, ...] = ()
    switches: tuple[int, ...] = ()
    props: tuple[int, ...] = ()  # INPUT_PROP_* bits
    leds: tuple[int, ...] = ()
    msc: tuple[int, ...] = (MSC_SCAN,)
    repeat: bool = False
    bus_id: tuple[int, int, int, int] = (0x03, 0x1d6b, 0x0100, 0x0111)  # bus, vendor, product, version

    @property
    def minor(self) -> int:
        return FIRST_EVENT_MINOR + self.number

    @property
    def devnode(self) -> str:
        return f"/dev/input/event{self.number}"

    @property
    def syspath(self) -> str:
        return f"/sys/devices/virtual/input/input{self.number}/event{self.number}"

    @property
    def event_types(self) -> tuple[int, ...]:
        types = [EV_SYN]
        if self.keys:
            types.append(EV_KEY)
        if self.rels:
            types.append(EV_REL)
        if self.axes:
            types.append(EV_ABS)
        if self.msc:
            types.append(EV_MSC)
        if self.switches:
            types.append(EV_SW)
        if self.leds:
            types.append(EV_LED)
        if self.repeat:
            types.append(EV_REP)
        return tuple(types)

    def codes_of(self, ev_type: int) -> tuple[int, ...]:
        return {0: self.event_types, EV_KEY: self.keys, EV_REL: self.rels,
                EV_ABS: tuple(axis.code for axis in self.axes), EV_MSC: self.msc,
                EV_SW: self.switches, EV_LED: self.leds}.get(ev_type, ())

    @property
    def multitouch(self) -> bool:
        return ABS_MT_SLOT in self.codes_of(EV_ABS)

    def udev_properties(self) -> dict[str, str]:
        if self.kind not in KIND_PROPERTIES:
            raise ValueError(f"unknown device kind {self.kind!r}")
        return {"ID_INPUT": "1", **{name: "1" for name in KIND_PROPERTIES[self.kind]}}

    def sysfs_text(self) -> str:
        """The parent input device, then the event node.

        umockdev sends an "add" uevent for each device as it adds it, so the
        event node comes last, when everything libinput looks at is there.
        """
        n = self.number
        props = "".join(f"E: {k}={v}\n" for k, v in self.udev_properties().items())
        caps = "".join(f"E: {name}={sysfs_mask(self.codes_of(t))}\n"
                       for name, t in (("EV", 0), ("KEY", EV_KEY), ("REL", EV_REL),
                                       ("ABS", EV_ABS), ("MSC", EV_MSC), ("LED", EV_LED),
                                       ("SW", EV_SW))
                       if self.codes_of(t))
        prop_mask = sysfs_mask(self.props)
        bus, vendor, product, version = self.bus_id
        return (
            f"P: /devices/virtual/input/input{n}\n"
            f'E: NAME="{self.name}"\n'
            f"E: PRODUCT={bus:x}/{vendor:x}/{product:x}/{version:x}\n"
            f"E: PROP={prop_mask}\n"
            f"{caps}"
            "E: SUBSYSTEM=input\n"
            f"A: name={self.name}\n"
            f"A: properties={prop_mask}\n"
            "\n"
            f"P: /devices/virtual/input/input{n}/event{n}\n"
            f"N: input/event{n}\n"
            f"E: DEVNAME=/dev/input/event{n}\n"
            f"E: MAJOR={INPUT_MAJOR}\n"
            f"E: MINOR={self.minor}\n"
            "E: SUBSYSTEM=input\n"
            f"{props}"
            f"A: dev={INPUT_MAJOR}:{self.minor}\n"
        )

    def udev_db_name(self) -> str:
        """File name of the udev database entry, under run/udev/data."""
        return f"c{INPUT_MAJOR}:{self.minor}"

    def udev_db_text(self) -> str:
        props = "".join(f"E:{k}={v}\n" for k, v in self.udev_properties().items())
        return f"I:1000000\n{props}"

    def ioctl_text(self) -> str:
        """The ioctl answers libevdev needs to set the device up."""
        bus, vendor, product, version = self.bus_id
        lines = [
            f"@DEV {self.devnode}",
            "EVIOCGVERSION 0 " + _le(0x010001, 4),
            "EVIOCGID 0 " + "".join(_le(v, 2) for v in (bus, vendor, product, version)),
        ]
        for name, value in (("EVIOCGNAME", self.name), ("EVIOCGPHYS", ""), ("EVIOCGUNIQ", "")):
            data = value.encode() + b"\0"
            lines.append(f"{name} {len(data)} "
                         + data.ljust(_STRING_BYTES, b"\0").hex())
        lines.append(f"EVIOCGPROP {_PROP_BYTES} {bitmap(self.props, _PROP_BYTES)}")
        for t in _BITS_ASKED:
            size = _BIT_BYTES[t]
            lines.append(f"EVIOCGBIT({t}) {size} {bitmap(self.codes_of(t), size)}")
        # Each axis at its lowest value, without fuzz (libinput would
        # otherwise try to set the kernel's fuzz to zero).
        for axis in self.axes:
            info = (axis.minimum, axis.minimum, axis.maximum, 0, 0, axis.resolution)
            lines.append(f"EVIOCGABS({axis.code}) 0 " + "".join(_le(v, 4, True) for v in info))
        if self.multitouch:
            lines.append("EVIOCGMTSLOTS 0 " + "ff" * _MT_SLOTS_BYTES)
        # Nothing held down, no LED lit, no switch set.
        lines.append(f"EVIOCGKEY {_BIT_BYTES[EV_KEY]} "
                     + bitmap((), _BIT_BYTES[EV_KEY]))
        lines.append(f"EVIOCGLED {_BIT_BYTES[EV_LED]} "
                     + bitmap((), _BIT_BYTES[EV_LED]))
        lines.append(f"EVIOCGSW {_BIT_BYTES[EV_SW]} "
                     + bitmap((), _BIT_BYTES[EV_SW]))
        if self.repeat:
            lines.append("EVIOCGREP 0 " + _le(250, 4) + _le(33, 4))  # delay, period in ms
        return "\n".join(lines) + "\n"


def keyboard(number: int, name: str | None = None,
             keys: Iterable[int] = range(1, 249)) -> Device:
    """A plain keyboard with the usual keys, LEDs and autorepeat."""
    return Device(number=number, name=name or f"Tapolux Test Keyboard {number}",
                  kind="keyboard", keys=tuple(keys),
                  leds=(LED_NUML, LED_CAPSL, LED_SCROLLL), repeat=True,
                  bus_id=(0x03, 0x1d6b, 0x0100 + number, 0x0111))


def mouse(number: int, name: str | None = None,
          buttons: Iterable[int] = (BTN_LEFT, BTN_RIGHT, BTN_MIDDLE, BTN_SIDE, BTN_EXTRA),
          rels: Iterable[int] = (REL_X, REL_Y, REL_WHEEL)) -> Device:
    """A wheel mouse with five buttons."""
    return Device(number=number, name=name or f"Tapolux Test Mouse {number}",
                  kind="mouse", keys=tuple(buttons), rels=tuple(rels),
                  bus_id=(0x03, 0x1d6b, 0x0200 + number, 0x0111))


def bitmap(codes: Iterable[int], size: int) -> str:
    """A code bitmap as the kernel copies it out: little-endian bytes, in hex."""
    data = bytearray(size)
    for code in codes:
        data[code // 8] |= 1 << (code % 8)
    return data.hex()


def sysfs_mask(codes: Iterable[int]) -> str:
    """A capability mask as sysfs shows it: 64-bit words in hex, most
    significant first, blank-separated, leading zero words left out."""
    value = 0
    for code in codes:
        value |= 1 << code
    words = []
    while True:
        words.append(f"{value & (2**64 - 1):x}")
        value >>= 64
        if not value:
            break
    return " ".join(reversed(words))


def _le(value: int, size: int, signed: bool = False) -> str:
    return value.to_bytes(size, "little", signed=signed).hex()


# --- Events -------------------------------------------------------------------

Event = tuple[int, int, int, int]  # (time_us, type, code, value)

# libinput throws away whatever is queued on a device when it adds it; the
# replay starts once the backend has added the device (see
# TestBed.replay_when_opened), and the lead-in is a margin on top: no
# check relies on its length.
LEAD_IN_US = 300_000


def evemu_text(events: Sequence[Event], lead_in_us: int = LEAD_IN_US) -> str:
    """An evemu event file for umockdev.

    A lone SYN_REPORT is put lead_in_us before the first event. umockdev reads
    the fraction after the point as a whole number of microseconds, and one
    with a leading zero as octal, so it is written without padding:
    1000.5000 is 1000 s and 5000 us.
    """
    if not events:
        return ""
    first = events[0][0]
    timeline = [(max(first - lead_in_us, 0), EV_SYN, SYN_REPORT, 0), *events]
    lines = ["# EVEMU 1.3"]
    for (t, ev_type, code, value), (prev, *_) in zip(timeline, [timeline[0], *timeline]):
        if t < prev:
            raise ValueError(f"event times go backwards: {prev} then {t}")
        lines.append(f"E: {t // 1_000_000}.{t % 1_000_000} {ev_type:04x} {code:04x} {value}")
    return "\n".join(lines) + "\n"


def time_stamp(time_us: int) -> int:
    """The time_stamp the backend writes: libinput's uint32 milliseconds as int32."""
    ms = (time_us // 1000) & 0xFFFFFFFF
    return ms - 2**32 if ms >= 2**31 else ms


def key(time_us: int, code: int, value: int) -> list[Event]:
    """One key or button change in a frame of its own."""
    return [(time_us, EV_MSC, MSC_SCAN, code), (time_us, EV_KEY, code, value),
            (time_us, EV_SYN, SYN_REPORT, 0)]


def taps(codes: Iterable[int], start_us: int, step_us: int = 20_000) -> list[Event]:
    """Press and release each code in turn, step_us apart."""
    events: list[Event] = []
    t = start_us
    for code in codes:
        events += key(t, code, 1) + key(t + step_us, code, 0)
        t += 2 * step_us
    return events


def typed(text: str, start_us: int, step_us: int = 20_000) -> list[Event]:
    """Type text on a US layout: one tap per character, shift held for capitals."""
    events: list[Event] = []
    t = start_us
    for ch in text:
        code = CHAR_KEYS[ch.lower()]
        if ch.isupper():
            events += key(t, KEY_LEFTSHIFT, 1) + taps([code], t + step_us, step_us)
            events += key(t + 3 * step_us, KEY_LEFTSHIFT, 0)
            t += 4 * step_us
        else:
            events += taps([code], t, step_us)
            t += 2 * step_us
    return events


def clicks(buttons: Iterable[int], start_us: int, step_us: int = 100_000) -> list[Event]:
    """Press and release each button in turn. The steps are long enough for
    libinput's button debouncing to pass every change on."""
    return taps(buttons, start_us, step_us)


def motion(moves: Iterable[tuple[int, int]], start_us: int, step_us: int = 10_000) -> list[Event]:
    """Relative pointer motion, one frame per (dx, dy)."""
    events: list[Event] = []
    for i, (dx, dy) in enumerate(moves):
        t = start_us + i * step_us
        events += [(t, EV_REL, REL_X, dx), (t, EV_REL, REL_Y, dy), (t, EV_SYN, SYN_REPORT, 0)]
    return events


def wheel(steps: Iterable[int], start_us: int, step_us: int = 50_000,
          axis: int = REL_WHEEL) -> list[Event]:
    """Wheel turns, one frame per step (+1 away from the user, -1 towards)."""
    return [ev for i, value in enumerate(steps)
            for ev in ((start_us + i * step_us, EV_REL, axis, value),
                       (start_us + i * step_us, EV_SYN, SYN_REPORT, 0))]


def end_of(events: Sequence[Event]) -> int:
    """The time of the last event, to chain sequences one after another."""
    return events[-1][0] if events else 0


def key_changes(events: Iterable[Event]) -> list[tuple[int, int, int]]:
    """(key_code, state_code, time_stamp) of every key or button change in a
    replay, in order: what the backend's records must say (records.changes_of),
    provided libinput passes each change on."""
    return [(code, value, time_stamp(t)) for t, ev_type, code, value in events
            if ev_type == EV_KEY]
