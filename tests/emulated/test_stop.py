# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""The stop command: the frontend ends the backend by writing "stop\\n" on its
standard input, and nothing else it writes there, nor the end of that input,
may end it."""

import glob
import os
import time

import pytest

from emulation import EXIT_TIMEOUT, devices, parse_output

START_US = 1_000_000_000

NO_DEVICES = ("Expected device added events on startup but got none. "
              "Maybe you don't have the right permissions?\n")

# The letter keys, cycled through so that consecutive records differ.
LETTERS = [devices.CHAR_KEYS[ch] for ch in "qwertyuiopasdfghjklzxcvbnm"]

# Enough keys to still be coming for a minute: a test waits for some of them
# and then ends the backend; the test bed cuts the rest short.
SPACED_TAPS = 600
SPACED_STEP_US = 50_000

# Records the backend may already have written when it reads its input; any
# more after that must come from keys it saw afterwards.
IN_FLIGHT = 2


def spaced_keys(codes=LETTERS, count=SPACED_TAPS):
    """Taps SPACED_STEP_US apart, as a person types: a key is still to come
    whenever a test looks."""
    return devices.taps([codes[i % len(codes)] for i in range(count)], START_US,
                        step_us=SPACED_STEP_US)


def key_changes(events):
    """(key_code, state_code) of every key change in a replay, in order."""
    return [(code, value) for _, ev_type, code, value in events if ev_type == devices.EV_KEY]


def changes_of(records):
    return [(record["key_code"], record["state_code"]) for record in records]


def node_target(testbed, device) -> str:
    return os.readlink(testbed.root / device.devnode.lstrip("/"))


def wait_until(condition, what, timeout=EXIT_TIMEOUT):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"{what} did not happen within {timeout} s"
        time.sleep(0.005)


def thread_count(backend) -> int:
    return len(os.listdir(f"/proc/{backend.proc.pid}/task"))


def close_input_and_wait_for_listener(backend) -> None:
    """End the backend's input and wait until its listener has seen that:
    the listener's thread ends, and only that thread."""
    threads = thread_count(backend)
    backend.close_stdin()
    wait_until(lambda: thread_count(backend) == threads - 1, "the listener's end")


# --- the command ends the backend ---------------------------------------------

# Before the command: how long to let the keys run, counted in records read.
@pytest.mark.parametrize("added, events, read_first", [
    # Devices present and open, nothing ever happening on them.
    pytest.param([devices.keyboard(0), devices.mouse(1)], [], 0, id="idle-from-start"),
    # Back in the main loop after the last key, waiting for the next.
    pytest.param([devices.keyboard(0)], devices.typed("ok", START_US), 4, id="idle-after-keys"),
    # Thousands of keys on their way, several hundred a second; the command
    # comes right after the first few. (Much faster, and the emulated
    # keyboard may drop out before: see STEP_US in test_stress.py.)
    pytest.param([devices.keyboard(0)],
                 devices.taps([LETTERS[i % len(LETTERS)] for i in range(3000)], START_US,
                              step_us=1000),
                 10, id="keys-flowing"),
])
def test_stop_command_ends_the_backend_with_status_0(testbed, start_backend,
                                                     added, events, read_first):
    for device in added:
        testbed.add(device, events)
    backend = start_backend()
    targets = {node_target(testbed, device) for device in added}
    wait_until(lambda: targets <= backend.open_files(), "opening every device")
    first = backend.read_records(read_first)
    backend.send(b"stop\n")
    # Read to the end while it stops, as the frontend does: a backend blocked
    # on a full pipe could never get to the command.
    rest = parse_output(backend.rest_bytes())
    assert backend.wait() == 0, backend.stderr
    # Nothing lost, doubled or reordered up to where it stopped, and nothing
    # after the keys there were (in the idle cases, nothing at all).
    written = changes_of(first + rest)
    assert written == key_changes(events)[:len(written)]
    assert NO_DEVICES not in backend.stderr


@pytest.mark.parametrize("waiting, then_close", [
    pytest.param(b"stop\n", False, id="command"),
    pytest.param(b"stop\n", True, id="command-then-end-of-input"),
    pytest.param(b"STOP\n \nstop \nstop\n", False, id="after-lines-that-are-not-it"),
])
def test_stop_command_already_waiting_at_start_up(testbed, start_backend, waiting, then_close):
    # The keyboard is open and the seat is set up when the command is read;
    # whether the first drain of events has run by then must not matter.
    testbed.add(devices.keyboard(0))
    backend = start_backend(stdin=waiting)
    if then_close:
        backend.close_stdin()
    assert backend.rest_bytes() == b""
    assert backend.wait() == 0, backend.stderr
    assert NO_DEVICES not in backend.stderr


# --- only the exact line is the command -----------------------------------------

# The listener reads pieces of at most 511 bytes (fgets into 512); a piece is
# the command only if it is exactly "stop\n".
PIECE = 511


@pytest.mark.parametrize("line, is_command", [
    pytest.param(b"STOP\n", False, id="upper-case"),
    pytest.param(b" stop\n", False, id="leading-blank"),
    pytest.param(b"stop \n", False, id="trailing-blank"),
    pytest.param(b"stop\r\n", False, id="carriage-return"),
    pytest.param(b"stopp\n", False, id="longer-word"),
    pytest.param(b"sto\n", False, id="shorter-word"),
    pytest.param(b"\n", False, id="empty-line"),
    pytest.param(b"stop\0\n", False, id="nul-before-newline"),
    pytest.param(b"st\0op\n", False, id="nul-inside-word"),
    pytest.param(b"x" * (PIECE - 1) + b"stop\n", False, id="long-line-ending-in-stop-unaligned"),
    pytest.param(b"x" * (PIECE + 1) + b"stop\n", False, id="long-line-ending-in-stop-past-piece"),
    pytest.param(b"x" * PIECE + b"stop\n", True, id="stop-as-second-piece"),
    pytest.param(b"x" * (3 * PIECE) + b"stop\n", True, id="stop-as-fourth-piece"),
])
def test_only_an_exact_piece_is_the_command(testbed, start_backend, line, is_command):
    events = spaced_keys()
    testbed.add(devices.keyboard(0), events)
    backend = start_backend()
    first = backend.read_records(2)
    backend.send(line)
    backend.input_taken()
    if is_command:
        rest = parse_output(backend.rest_bytes())
        assert backend.wait() == 0, backend.stderr
        written = changes_of(first + rest)
        assert written == key_changes(events)[:len(written)]
        return
    # Keys that come after the line was read are still reported...
    later = backend.read_records(IN_FLIGHT + 4)
    assert changes_of(first + later) == key_changes(events)[:len(first + later)]
    assert backend.proc.poll() is None
    # ...and the command still works after it.
    backend.stop()


# --- the end of input ends only the listener -------------------------------------

@pytest.mark.parametrize("last_input", [
    pytest.param(b"", id="end-of-input"),
    pytest.param(b"stop", id="stop-without-newline-then-end-of-input"),
    pytest.param(b"STOP\n", id="other-line-then-end-of-input"),
])
def test_end_of_input_leaves_the_backend_reporting(testbed, start_backend, last_input):
    events = spaced_keys()
    testbed.add(devices.keyboard(0), events)
    backend = start_backend()
    first = backend.read_records(2)
    if last_input:
        backend.send(last_input)
    close_input_and_wait_for_listener(backend)
    later = backend.read_records(IN_FLIGHT + 4)
    assert changes_of(first + later) == key_changes(events)[:len(first + later)]
    # Without its input the frontend can only end it with a signal.
    assert backend.terminate() == []


def own_threads(pid: int) -> list[str]:
    """The backend's threads less a sanitizer runtime's own (ThreadSanitizer
    keeps one that wakes ten times a second): a thread blocked in a system
    call made from inside a sanitizer library is the runtime's."""
    runtime = []
    with open(f"/proc/{pid}/maps") as maps:
        for entry in maps:
            fields = entry.split()
            if len(fields) >= 6 and os.path.basename(fields[5]).startswith(
                    ("libtsan", "libasan", "liblsan", "libubsan")):
                start, end = (int(x, 16) for x in fields[0].split("-"))
                runtime.append((start, end))
    own = []
    for task in glob.glob(f"/proc/{pid}/task/*"):
        with open(f"{task}/syscall") as syscall:
            state = syscall.read().split()
        # "running", or: number, six arguments, stack pointer, program counter.
        pc = int(state[-1], 16) if len(state) == 9 else None
        if pc is None or not any(start <= pc < end for start, end in runtime):
            own.append(task)
    return own


def idle_cost(pid: int) -> tuple[int, int]:
    """CPU ticks (utime + stime) and voluntary context switches of the
    backend's own threads, summed."""
    ticks = switches = 0
    for task in own_threads(pid):
        with open(f"{task}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        ticks += int(fields[11]) + int(fields[12])  # fields 14 and 15 of stat(5)
        with open(f"{task}/status") as status:
            switches += next(int(line.split()[1]) for line in status
                             if line.startswith("voluntary_ctxt_switches:"))
    return ticks, switches


def test_closed_input_costs_nothing_while_idle(testbed, start_backend):
    testbed.add(devices.keyboard(0), devices.typed("ok", START_US))
    backend = start_backend()
    backend.read_records(4)
    close_input_and_wait_for_listener(backend)
    before = idle_cost(backend.proc.pid)
    # Nothing wakes an idle backend: no key, no input, no timer. A thread that
    # kept polling or reading the closed input would show here within
    # a fraction of the wait.
    time.sleep(2)
    after = idle_cost(backend.proc.pid)
    assert after == before, f"(CPU ticks, voluntary switches) went from {before} to {after}"
    assert backend.terminate() == []
