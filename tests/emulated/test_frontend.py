# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""A frontend that misbehaves must never corrupt the record stream or crash
the backend.

Each test plays one kind of careless or broken frontend against the real
backend on an emulated keyboard: one that floods standard input with
garbage, one that closes standard input at once, one that stops reading for
a while, and one that walks away in the middle of a flood.

The stream is read as the least forgiving frontend would: every read() by
itself must end at a record boundary (Backend.read_records), since the
backend writes each record in one write that a pipe never splits.
"""

from __future__ import annotations

import fcntl
import random
import resource
import signal
import threading
import time
from collections import Counter
from typing import TYPE_CHECKING, Iterator, Sequence

import pytest

from emulation import (EXIT_TIMEOUT, PIECE, RECORD_TIMEOUT, START_US, changes_of, devices,
                       key_changes, record, record_line, wait_until)
from emulation.launcher import nonblocking, sized_pipe, steps

if TYPE_CHECKING:
    from emulation import Backend


def keyboard_changes(records: list[dict]) -> list[tuple[int, int, int]]:
    """What the records of a keyboard say, to compare with key_changes."""
    assert {r["event_name"] for r in records} <= {"KEYBOARD_KEY"}, records
    return changes_of(records)


def burst(count: int, start_us: int = START_US, step_us: int = 5_000) -> list[devices.Event]:
    """`count` key changes, one every `step_us`: taps over the letters in
    turn, so that any loss, repeat or reordering changes the sequence.
    Letters only, so that its records hardly differ in length
    (record_lengths): about 26 fill a page of a pipe.

    A backend that falls behind or waits on a full pipe leaves the events
    piling up on the device, and what a device holds is limited: an evdev
    node drops events past its buffer, and the pseudo-terminal behind an
    emulated node holds 4095 bytes, beyond which the replay waits. A test
    that all keys come through must not depend on either, so the frames
    leave out MSC_SCAN, which libinput does not need (48 bytes: 85 key
    changes fit), the pace leaves the backend 0.4 s of slack on a loaded
    machine, and a backend stalled on a full pipe has no more than about
    40 key changes coming at it.
    """
    letters = devices.LETTER_KEYS
    events: list[devices.Event] = []
    for i in range(count):
        t = start_us + i * step_us
        events += [(t, devices.EV_KEY, letters[i // 2 % len(letters)], 1 - i % 2),
                   (t, devices.EV_SYN, devices.SYN_REPORT, 0)]
    return events


def record_lengths(events: Sequence[devices.Event]) -> list[int]:
    """The length of each record that the letter keys of `events` make."""
    return [len(record_line(record(time_stamp, devices.LETTER_NAMES[code], code, state)))
            for code, state, time_stamp in key_changes(events)]


def wait_until_pipe_full(backend: Backend, events: Sequence[devices.Event],
                         timeout: float = RECORD_TIMEOUT) -> None:
    """Wait until the backend cannot write another of the records of
    `events` without a reader.

    Linux fills a pipe page by page and starts a new page for a write that
    does not fit into the rest of the last one, so a full pipe leaves less
    than a record free on each of its pages.
    """
    size = fcntl.fcntl(backend.proc.stdout.fileno(), fcntl.F_GETPIPE_SZ)
    page = resource.getpagesize()
    full = size // page * (page - max(record_lengths(events)) + 1)

    def filled() -> bool:
        assert backend.proc.poll() is None, (
            f"the backend ended with {backend.proc.poll()}; stderr:\n{backend.stderr}")
        return backend.unread_bytes() >= full

    wait_until(filled, lambda: f"filling the pipe ({backend.unread_bytes()} of {full} bytes)",
               timeout)


# --- garbage on standard input -------------------------------------------------

# Lines a sloppy comparison could take for the command. A listener that
# trims blanks or a carriage return, ignores case, compares a prefix, or
# stops comparing at a NUL would stop on one of these.
NEAR_MISSES = [
    b"STOP\n", b"Stop\n", b"sTOP\n", b"stop\r\n", b"\rstop\n", b" stop\n", b"stop \n",
    b"\tstop\n", b"stop\t\n", b"stopp\n", b"sstop\n", b"sto\n", b"top\n", b"stop stop\n",
    b"stop\0\n", b"\0stop\n", b"stop\0stop\n", b"stop\0 and more\n", b"\"stop\"\n",
    b"stop;\n", b"stop\x0b\n", b"stop\x0c\n", "ｓｔｏｐ\n".encode(), b"stop\xff\n",
    b"\xef\xbb\xbfstop\n",  # behind a UTF-8 byte order mark
]


def pieces(data: bytes) -> Iterator[bytes]:
    """The pieces the listener reads `data` in, as fgets(buf, 512) cuts them."""
    start = 0
    while start < len(data):
        newline = data.find(b"\n", start, start + PIECE)
        end = newline + 1 if newline >= 0 else min(start + PIECE, len(data))
        yield data[start:end]
        start = end


def filler(rng: random.Random, size: int) -> bytes:
    """Random bytes without a newline, NULs included."""
    return rng.randbytes(size).replace(b"\n", b"\0")


def garbage_block(seed: int, size: int = 256 * 1024) -> bytes:
    """About `size` bytes of garbage that is never read as the stop command.

    Random binary runs (NULs and newlines included), lines far longer than a
    piece, and the near-misses, some placed where the 511-byte cut falls on
    them: a line of 506 bytes before "stop\\n" makes a 511-byte piece that
    ends in "stop\\n"; 507 bytes cut it as "...stop" and "\\n"; 510 as "...s"
    and "top\\n". The block ends with a newline, so it ends a piece and a
    block or the stop command after it starts a fresh one.

    A piece that comes out as exactly "stop\\n" (random bytes can line one
    up) gets a capital S: only newlines decide where pieces end, so that
    changes no other piece.
    """
    rng = random.Random(seed)
    parts = []
    length = 0
    while length < size:
        pick = rng.random()
        if pick < 0.6:
            part = rng.choice(NEAR_MISSES)
        elif pick < 0.8:
            part = rng.randbytes(rng.randrange(1, 2048))
        elif pick < 0.99:
            part = b"\n" + filler(rng, rng.choice((506, 507, 510))) + b"stop\n"
        else:
            part = filler(rng, rng.randrange(10_000, 120_000)) + b"\n"
        parts.append(part)
        length += len(part)
    data = bytearray(b"".join(parts) + b"\n")
    offset = 0
    for piece in list(pieces(bytes(data))):
        if piece == b"stop\n":
            data[offset] = ord("S")
        offset += len(piece)
    return bytes(data)


class GarbageWriter(threading.Thread):
    """Writes garbage blocks on the backend's standard input, from a thread of
    its own so that a full pipe blocks it and not the reader of the records.

    Goes on until `done` is set and at least `least` bytes are out, or until
    `most` bytes are out; it ends only after a whole block, so what comes
    next starts a fresh piece.
    """

    def __init__(self, backend: Backend, blocks: Sequence[bytes], done: threading.Event,
                 least: int, most: int, pause: float = 0.01) -> None:
        super().__init__(daemon=True)
        self.stdin = backend.proc.stdin
        self.blocks = blocks
        self.done = done
        self.least = least
        self.most = most
        self.pause = pause
        self.written = 0
        self.error: Exception | None = None

    def run(self) -> None:
        try:
            while True:
                for block in self.blocks:
                    self.stdin.write(block)
                    self.stdin.flush()
                    self.written += len(block)
                    if self.written >= self.most or (
                            self.done.is_set() and self.written >= self.least):
                        return
                    time.sleep(self.pause)
        except (OSError, ValueError) as error:  # the backend is gone, or the pipe closed
            self.error = error


def test_garbage_generator_never_makes_the_command_and_sets_its_traps():
    # The flood test proves nothing if its garbage could stop the backend, or
    # if the near-misses never reach the listener as pieces of their own.
    seen = Counter()
    for seed in range(4):
        block = garbage_block(seed)
        assert block.endswith(b"\n")
        cut = list(pieces(block))
        assert b"".join(cut) == block and all(0 < len(p) <= PIECE for p in cut)
        seen.update(cut)
        seen["traps: ...stop\\n in 511"] += sum(len(p) == PIECE and p.endswith(b"stop\n")
                                                for p in cut)
        seen["traps: ...stop | \\n"] += sum(len(p) == PIECE and p.endswith(b"stop")
                                            for p in cut)
        seen["long lines"] += sum(len(line) > 10_000 for line in block.split(b"\n"))
        seen["NULs"] += block.count(b"\0")
    assert seen[b"stop\n"] == 0
    assert [m for m in NEAR_MISSES if not seen[m]] == []
    assert seen[b"top\n"] and seen[b"\n"]
    assert min(seen["traps: ...stop\\n in 511"], seen["traps: ...stop | \\n"],
               seen["long lines"], seen["NULs"]) > 0, seen


def test_garbage_on_stdin_neither_stops_nor_disturbs_the_backend(testbed, start_backend):
    # 250 key changes over 2 s; megabytes of garbage go in meanwhile.
    events = burst(250, step_us=8_000)
    testbed.add(devices.keyboard(0), events)
    blocks = [garbage_block(seed) for seed in range(4)]
    backend = start_backend()
    all_read = threading.Event()
    writer = GarbageWriter(backend, blocks, all_read, least=4 << 20, most=64 << 20,
                           pause=0.04)
    writer.start()
    try:
        records = backend.read_records(len(key_changes(events)))
    finally:
        all_read.set()
        writer.join(EXIT_TIMEOUT)
    assert not writer.is_alive(), (
        f"the backend stopped reading its standard input: {writer.written} bytes went "
        f"through, the next {len(blocks[0])} did not in {EXIT_TIMEOUT} s")
    assert writer.error is None, (
        f"the backend went away after {writer.written} bytes of garbage: {writer.error}; "
        f"exit status {backend.proc.poll()}, stderr:\n{backend.stderr}")
    assert writer.written >= 4 << 20
    assert keyboard_changes(records) == key_changes(events)
    # The garbage ended on a piece boundary, so this is a piece of its own.
    assert backend.proc.poll() is None, f"exit status {backend.proc.poll()}"
    assert backend.stop() == []


# --- standard input closed ------------------------------------------------------

@pytest.mark.parametrize("reader_leaves", [
    pytest.param(False, id="ended-by-sigterm"),
    pytest.param(True, id="ended-by-its-reader-leaving"),
])
def test_stdin_closed_at_once_leaves_the_backend_reporting(testbed, start_backend,
                                                          reader_leaves):
    # A frontend that never meant to send anything: its end of the pipe is
    # closed before the first key. (test_stop.py closes it later, after keys.)
    phrase = devices.typed("Hello, world", START_US)
    # Then a tap every 100 ms: whenever the reader leaves, another record
    # follows and meets the closed pipe.
    tail = devices.taps([devices.KEY_SPACE] * 50, devices.end_of(phrase) + 100_000,
                        step_us=50_000)
    testbed.add(devices.keyboard(0), phrase + tail)
    backend = start_backend()
    # The replay's lead-in keeps the first key 300 ms away: the end of input
    # reaches the backend before any event does.
    backend.close_stdin()
    assert keyboard_changes(backend.read_records(len(key_changes(phrase)))) == \
        key_changes(phrase)
    assert [r["key_code"] for r in backend.read_records(2)] == [devices.KEY_SPACE] * 2
    if reader_leaves:
        backend.close_stdout()
        assert backend.wait() == -signal.SIGPIPE, backend.stderr
    else:
        backend.terminate()


# --- a reader that pauses or leaves ----------------------------------------------

# How long the reader stays away once the pipe is full.
STALL = 1.0


@pytest.mark.parametrize("pipe_size, stalled, preexec", [
    # 416 records fill the pipe; the rest of the first burst waits in
    # libinput and on the device.
    pytest.param(None, 450, None, id="default-64KiB-pipe"),
    # One page: full after 26 records, and every page boundary is a place
    # where a record could be cut.
    pytest.param(4096, 60, None, id="one-page-pipe"),
    # Handed over non-blocking: a full pipe answers EAGAIN, which must be
    # waited out, not taken for a failed write and the record dropped.
    pytest.param(4096, 60, nonblocking(1), id="one-page-nonblocking-pipe"),
])
def test_reader_that_pauses_gets_every_record_in_order(testbed, start_backend,
                                                       pipe_size, stalled, preexec):
    # A burst that fills the pipe while the reader is away, quiet until it
    # is back (see burst()), then keys again, slow enough for a reader that
    # checks every record on a one-page pipe.
    first_burst = burst(stalled)
    events = first_burst + burst(50, devices.end_of(first_burst) + int((STALL + 0.5) * 1e6))
    testbed.add(devices.keyboard(0), events)
    backend = start_backend(preexec=steps(sized_pipe(1, pipe_size) if pipe_size else None, preexec))
    records = backend.read_records(1)
    # Not reading: the pipe fills, and the backend waits in the write of the
    # next record.
    wait_until_pipe_full(backend, first_burst)
    time.sleep(STALL)
    assert backend.proc.poll() is None, backend.stderr
    # Records of the burst are still to come: the backend is held up in a
    # write, not idle in front of a full pipe. (At most this many records
    # fit in what waits in the pipe.)
    in_pipe = backend.unread_bytes() // min(record_lengths(first_burst))
    assert backend.records_read + in_pipe < stalled
    records += backend.read_records(len(key_changes(events)) - len(records))
    assert keyboard_changes(records) == key_changes(events)
    assert backend.stop() == []


@pytest.mark.parametrize("blocked", [
    # The write that waits for room must fail at once when the reader
    # closes, not wait for a reader that will never come.
    pytest.param(True, id="blocked-on-a-full-pipe"),
    pytest.param(False, id="records-pouring"),
])
def test_backend_ends_when_its_reader_leaves_mid_flood(testbed, start_backend, blocked):
    # On a one-page pipe, 60 key changes fill it and leave the backend waiting.
    events = burst(60 if blocked else 400)
    testbed.add(devices.keyboard(0), events)
    backend = start_backend(preexec=sized_pipe(1, 4096))
    backend.read_records(1 if blocked else 100)
    if blocked:
        wait_until_pipe_full(backend, events)
    backend.close_stdout()
    assert backend.wait() == -signal.SIGPIPE, backend.stderr
