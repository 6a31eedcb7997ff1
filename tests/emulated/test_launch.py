# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Whatever its launcher hands over, the backend never outlives its reader
and never cuts or glues records.

Frontends and launchers start the backend in many ways: a frontend that
takes its signals through a signalfd passes on a mask with SIGPIPE, SIGTERM
and SIGINT blocked; a launcher that changes user clears any parent-death
signal; pipes come non-blocking; standard descriptors come closed; standard
output may be a file on a disk that fills up. Each test starts the real
backend under such conditions, set up in the child right before the exec.
(A paused reader of a non-blocking pipe is in test_frontend.py, beside the
blocking one.)
"""

from __future__ import annotations

import os
import signal
import subprocess
import tempfile

import pytest

from emulation import (START_US, changes_of, devices, parse_record, process, record,
                       record_line, wait_until)
from emulation.launcher import blocking, closing, ignoring, nonblocking

ENDING_SIGNALS = (signal.SIGPIPE, signal.SIGTERM, signal.SIGINT)


def spaces(count: int = 600, step_us: int = 100_000) -> list[devices.Event]:
    """A tap every `step_us`: whenever a test looks, another key is coming."""
    return devices.taps([devices.KEY_SPACE] * count, START_US, step_us=step_us)


# --- the reader goes away ---------------------------------------------------------

ONE_TAP = devices.taps([devices.KEY_SPACE], START_US)


@pytest.mark.parametrize("preexec, events, as_nobody", [
    # Keys keep coming: the next record meets the closed pipe, if the backend
    # has not ended before.
    pytest.param(None, spaces(), False, id="keys-coming"),
    # Keys keep coming and each record meets the closed pipe, but a blocked
    # or ignored SIGPIPE turns that into EPIPE, on which the backend would
    # run on, reading every key.
    pytest.param(blocking(signal.SIGPIPE), spaces(), False, id="sigpipe-blocked"),
    pytest.param(ignoring(signal.SIGPIPE), spaces(), False, id="sigpipe-ignored"),
    pytest.param(blocking(*ENDING_SIGNALS), spaces(), False, id="signalfd-frontend-mask"),
    # No key after the reader has gone, so no record ever meets the closed
    # pipe: the backend must notice by itself. A launcher that changes user
    # clears the parent-death signal, so nothing else would end it.
    pytest.param(None, ONE_TAP, False, id="no-key-after"),
    pytest.param(blocking(*ENDING_SIGNALS), ONE_TAP, False, id="no-key-after-with-mask"),
    pytest.param(None, ONE_TAP, True, id="no-key-after-user-changing-launcher"),
])
def test_backend_ends_when_its_reader_goes_away(testbed, start_backend, preexec, events,
                                                as_nobody):
    testbed.add(devices.keyboard(0), events)
    backend = start_backend(preexec=preexec, as_nobody=as_nobody)
    backend.read_records(2)
    backend.close_stdout()
    assert backend.wait() == -signal.SIGPIPE, backend.stderr


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_ending_signals_work_though_the_launcher_blocked_them(testbed, start_backend, signum):
    testbed.add(devices.keyboard(0), devices.typed("ok", START_US))
    backend = start_backend(preexec=blocking(*ENDING_SIGNALS))
    backend.read_records(4)
    backend.proc.send_signal(signum)
    assert backend.wait() == -signum, backend.stderr


# --- interrupted waits -----------------------------------------------------------

def test_interrupted_waits_are_retried(testbed, start_backend):
    # Every poll, and every read of standard input, fails once with EINTR
    # before it goes through, as under a signal handler without SA_RESTART:
    # neither the main loop nor the listener may take that for an end.
    testbed.add(devices.keyboard(0), spaces(step_us=50_000))
    backend = start_backend(fail="interrupt")
    assert [r["key_name"] for r in backend.read_records(6)] == ["KEY_SPACE"] * 6
    assert backend.proc.poll() is None, backend.stderr
    backend.send(b"stop\n")
    assert backend.wait() == 0, backend.stderr


# --- a non-blocking standard input --------------------------------------------------

@pytest.mark.parametrize("writes", [
    pytest.param([b"stop\n"], id="command"),
    # The pipe is empty between the writes: EAGAIN, not the end of input.
    pytest.param([b"st", b"op\n"], id="command-in-two-writes"),
    pytest.param([b"x" * 300, b"x" * 211, b"stop\n"], id="command-after-a-511-byte-piece"),
])
def test_stop_command_on_a_nonblocking_standard_input(testbed, start_backend, writes):
    testbed.add(devices.keyboard(0), spaces(step_us=50_000))
    backend = start_backend(preexec=nonblocking(0))
    backend.read_records(2)
    for data in writes:
        backend.send(data)
        backend.input_taken()
    assert backend.wait() == 0, backend.stderr


# --- standard descriptors closed at start -------------------------------------------

def fd_target(backend, fd: int) -> str:
    return os.readlink(f"/proc/{backend.proc.pid}/fd/{fd}")


@pytest.mark.parametrize("fd", [0, 2], ids=["stdin-closed", "stderr-closed"])
def test_closed_standard_input_or_error_changes_nothing(testbed, start_backend, fd):
    testbed.add(devices.keyboard(0), devices.typed("ok", START_US))
    backend = start_backend(preexec=closing(fd))
    assert [r["key_name"] for r in backend.read_records(4)] == ["KEY_O", "KEY_O", "KEY_K", "KEY_K"]
    # No device node or library descriptor took the number: the listener
    # would read from it, a diagnostic would be written into it.
    assert fd_target(backend, fd) == "/dev/null"
    assert backend.terminate() == []


def test_closed_standard_output_ends_the_backend_at_once(testbed, start_backend):
    # Keys keep coming: a backend that wrote them into whatever took number 1
    # would run on.
    testbed.add(devices.keyboard(0), spaces())
    backend = start_backend(preexec=closing(1))
    assert backend.wait() == -signal.SIGPIPE, backend.stderr
    assert backend.rest_bytes() == b""


# --- a disk that fills up -------------------------------------------------------------

PAGE = 4096
DISK_PAGES = 16


@pytest.fixture
def small_disk():
    """A small tmpfs with all but one page taken: a file there gets one page,
    then ENOSPC until the returned function frees the rest."""
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    folder = tempfile.mkdtemp(prefix="tapolux-disk-")
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={DISK_PAGES * PAGE},mode=0755",
                    "tmpfs", folder], check=True)
    filler = os.path.join(folder, "filler")
    with open(filler, "wb") as f:
        f.write(b"\0" * (DISK_PAGES - 1) * PAGE)
    try:
        yield folder, lambda: os.remove(filler)
    finally:
        subprocess.run(["umount", folder], check=True)
        os.rmdir(folder)


def is_record(line: str) -> bool:
    try:
        parse_record(line + "\n")
    except (AssertionError, ValueError):
        return False
    return True


def ends_with(path: str, change: tuple[int, int, int]) -> bool:
    """Whether the file ends with the record of the letter key `change`,
    whether that record stands on a line of its own or is glued onto one."""
    code, state, time_stamp = change
    with open(path, "rb") as f:
        data = f.read()
    return data.endswith(record_line(record(time_stamp, devices.LETTER_NAMES[code], code,
                                            state)).encode())


# The disk comes first, so that it is unmounted only after the backend is gone.
def test_full_disk_never_glues_a_record_onto_a_cut_one(small_disk, testbed, start_backend):
    folder, make_room = small_disk
    # 60 key changes fill the page and run into the full disk; 1.5 s after
    # them, once there is room again, 20 more come.
    first = devices.taps(devices.LETTER_KEYS[:30], START_US, step_us=10_000)
    later = devices.taps(devices.LETTER_KEYS[:10], devices.end_of(first) + 1_500_000)
    testbed.add(devices.keyboard(0), first + later)
    path = os.path.join(folder, "records")
    with open(path, "wb") as out:
        backend = start_backend(stdout=out)
    wait_until(lambda: os.path.getsize(path) >= PAGE, "a full page of records")
    # The record cut at the page's end is given up on in the same turn of the
    # main loop (its rest meets the full disk): once the main thread is seen
    # back in poll, that is done, and room made now cannot complete it.
    wait_until(lambda: process.waiting_in_poll(backend.proc.pid) or not backend.running(),
               "the main loop's wait after the cut record")
    make_room()
    expected = devices.key_changes(first + later)
    wait_until(lambda: ends_with(path, expected[-1]) or backend.proc.poll() is not None,
               "the last key's record")
    with open(path, "rb") as f:
        lines = f.read().decode().split("\n")[:-1]
    # The page holds whole records and the start of the next one, cut where
    # the disk was full. That line is ended, and every other line is one
    # whole record: none is glued onto the cut one.
    bad = [i for i, line in enumerate(lines) if not is_record(line)]
    assert len(bad) == 1, [lines[i] for i in bad]
    cut = bad[0]
    assert lines[cut].count("{") == 1, f"a record glued onto the cut one: {lines[cut]!r}"
    assert sum(len(line) + 1 for line in lines[:cut + 1]) == PAGE + 1, "not cut at the page's end"
    whole = changes_of(parse_record(line + "\n") for line in lines[:cut] + lines[cut + 1:])
    # Before the cut every key came; those that met the full disk are lost;
    # the rest come in order, the keys after the room came back all of them.
    assert whole[:cut] == expected[:cut]
    assert whole == [change for change in expected if change in whole]
    after_room = devices.key_changes(later)
    assert whole[-len(after_room):] == after_room
    assert backend.proc.poll() is None
    assert backend.stop() == []
