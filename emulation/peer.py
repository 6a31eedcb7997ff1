# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""The peer: `libinput debug-events --show-keycodes` (package libinput-tools)
run on a test bed, with its own libinput context and libinput's defaults, as
the backend has. Its key and button events are what the backend's records
must say, in the same order.
"""

from __future__ import annotations

import re
import signal
import subprocess
import threading
from typing import Callable, Iterable, NamedTuple

from . import process
from .backend import Programs, environment
from .constants import EXIT_TIMEOUT, RECORD_TIMEOUT
from .records import EVENT_TYPES, STATE_NAMES
from .testbed import TestBed, Unavailable
from .waiting import wait_until

COMMAND = ("libinput", "debug-events", "--show-keycodes")

# One event as the peer prints it, e.g.
#  event2   POINTER_BUTTON          +1.204s	BTN_LEFT (272) pressed, seat count: 1
#  event3   SWITCH_TOGGLE           +2.001s	switch lid state 1
_LINE = re.compile(r"^[-\s]?(?P<device>event\d+)\s+(?P<kind>[A-Z_]+)\s+\+[\d.]+s\s+(?P<text>.*)$")
_KEY = re.compile(r"^(?P<name>\S+) \((?P<code>\d+)\) (?P<state>pressed|released)")
_STATE_CODES = {name.lower(): code for code, name in STATE_NAMES.items()}


class PeerEvent(NamedTuple):
    """One event the peer printed: its device node name, its kind
    (KEYBOARD_KEY, POINTER_BUTTON, SWITCH_TOGGLE, ...) and the rest of the line."""

    device: str
    kind: str
    text: str

    def change(self) -> tuple[str, int, int] | None:
        """(kind, code, state) of a key or button event, as a record has them."""
        found = _KEY.match(self.text)
        if self.kind not in EVENT_TYPES or not found:
            return None
        return self.kind, int(found["code"]), _STATE_CODES[found["state"]]

    def short(self) -> str:
        """The event in a few words: KEYBOARD_KEY KEY_A 1, SWITCH_TOGGLE lid 1."""
        found = _KEY.match(self.text)
        if found:
            return f"{self.kind} {found['name']} {_STATE_CODES[found['state']]}"
        return f"{self.kind} {self.text.removeprefix('switch ').replace(' state', '')}".strip()


def peer_events(output: str) -> list[PeerEvent]:
    """The events in the peer's output; device additions and removals left out."""
    events = []
    for line in output.splitlines():
        found = _LINE.match(line)
        if found and not found["kind"].startswith("DEVICE_"):
            events.append(PeerEvent(found["device"], found["kind"], found["text"].strip()))
    return events


def peer_changes(events: Iterable[PeerEvent]) -> list[tuple[str, int, int]]:
    """(kind, code, state) of every key and button event."""
    return [change for change in (event.change() for event in events) if change]


class Peer(process.Looks):
    """The peer running on a test bed; its output is read all the time."""

    def __init__(self, testbed: TestBed, programs: Programs) -> None:
        env = environment(testbed.root, programs.fixes)
        try:
            self.proc = subprocess.Popen(COMMAND, env=env, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        except FileNotFoundError as error:
            raise Unavailable(f"{COMMAND[0]} not found (apt-get install libinput-tools): "
                              f"{error}") from error
        self._out: list[bytes] = []
        self._err: list[bytes] = []
        self._readers = [threading.Thread(target=self._drain, args=(stream, into), daemon=True)
                         for stream, into in ((self.proc.stdout, self._out),
                                              (self.proc.stderr, self._err))]
        for reader in self._readers:
            reader.start()

    @staticmethod
    def _drain(stream, into: list[bytes]) -> None:
        for chunk in iter(lambda: stream.read1(65536), b""):
            into.append(chunk)

    @property
    def output(self) -> str:
        return b"".join(self._out).decode(errors="replace")

    @property
    def stderr(self) -> str:
        return b"".join(self._err).decode(errors="replace")

    def events(self) -> list[PeerEvent]:
        return peer_events(self.output)

    def wait_for(self, condition: Callable[[list[PeerEvent]], bool], what: str,
                 timeout: float = RECORD_TIMEOUT) -> None:
        """Until the events it has printed meet `condition`."""
        wait_until(lambda: condition(self.events()) or self.proc.poll() is not None,
                   lambda: f"{what} from the peer; it printed:\n{self.output}\n"
                           f"stderr:\n{self.stderr}", timeout)

    def stop(self) -> list[PeerEvent]:
        """End it with SIGINT, as a user does; returns all it printed."""
        self.proc.send_signal(signal.SIGINT)  # nothing if it has ended
        status = self._ended(EXIT_TIMEOUT)
        assert status == 0, f"the peer ended with {status}; stderr:\n{self.stderr}"
        return self.events()

    def kill(self) -> None:
        """End it at once, if it still runs."""
        self.proc.kill()
        self._ended()

    def _ended(self, timeout: float | None = None) -> int:
        status = self.proc.wait(timeout)
        for reader in self._readers:
            reader.join(timeout)
        return status


def launch_peer(testbed: TestBed, programs: Programs) -> Peer:
    """Start the peer on `testbed`, and the replays of the devices it opens."""
    peer = Peer(testbed, programs)
    testbed.replay_when_opened(peer, testbed.devices)
    return peer
