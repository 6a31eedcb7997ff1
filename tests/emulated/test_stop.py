# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""The stop command: the frontend ends the backend by writing "stop\\n" on its
standard input, and nothing else it writes there, nor the end of that input,
may end it."""

import glob
import os
import time

import pytest

from emulation import (NO_DEVICES, PIECE, START_US, STOP, changes_of, devices, key_changes,
                       parse_output, parse_records, process, wait_until)

# The letter keys, cycled through so that consecutive records differ.
LETTERS = devices.LETTER_KEYS

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


def close_input_and_wait_for_listener(backend) -> None:
    """End the backend's input and wait until its listener has seen that:
    the listener's thread ends, and only that thread."""
    before = process.threads(backend.proc.pid)
    backend.close_stdin()

    def listener_ended() -> bool:
        assert backend.running(), f"the backend ended: {backend.proc.poll()}, {backend.stderr}"
        return len(process.threads(backend.proc.pid)) == len(before) - 1

    wait_until(listener_ended, "the listener's end")


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
    targets = {testbed.node_target(device) for device in added}
    wait_until(lambda: targets <= backend.open_files(), "opening every device")
    first = backend.read_records(read_first)
    backend.send(STOP)
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


# --- only an exact piece is the command -------------------------------------------

# Closes the backend's standard input, in place of a write.
END_OF_INPUT = None


# Which lines are the command is the unit tests' business (stop_listener_test,
# case by case); what only the running process shows is here: the listener's
# pieces are cut from the byte stream, whatever writes it came in, and the end
# of its input is not a command. Between writes the backend takes all that is
# in the pipe, so each write reaches its read() on its own.
@pytest.mark.parametrize("writes, is_command", [
    pytest.param([b"st", b"op\n"], True, id="command-split-across-writes"),
    pytest.param([b"stop", b"\n"], True, id="newline-in-a-later-write"),
    # 511 bytes make a piece however they came; "stop\n" after is one of its own.
    pytest.param([b"x" * 300, b"x" * (PIECE - 300) + STOP], True,
                 id="command-after-a-piece-cut-across-writes"),
    pytest.param([b"x" * 1000, b"x" * (3 * PIECE - 1000) + STOP], True,
                 id="command-as-fourth-piece"),
    # ...and a cut that falls inside the command leaves no command: not a
    # listener that takes each write, or each line, as it comes.
    pytest.param([b"x" * 300, b"x" * (PIECE - 301) + STOP], False,
                 id="piece-cut-inside-the-command"),
    pytest.param([b"x" * PIECE, b"x" + STOP], False, id="long-line-ending-in-stop"),
    pytest.param([b"x" * 300, STOP], False, id="command-at-the-end-of-a-line"),
    # Near-misses end to end: no trimming, no case folding.
    pytest.param([b"STOP\n"], False, id="upper-case"),
    pytest.param([b"stop\r\n"], False, id="carriage-return"),
    # The end of input is not the command, even right after a part of one.
    pytest.param([END_OF_INPUT], False, id="end-of-input"),
    pytest.param([b"stop", END_OF_INPUT], False, id="stop-without-newline-then-end-of-input"),
    pytest.param([b"STOP\n", END_OF_INPUT], False, id="other-line-then-end-of-input"),
])
def test_only_an_exact_piece_is_the_command(testbed, start_backend, writes, is_command):
    events = spaced_keys()
    testbed.add(devices.keyboard(0), events)
    backend = start_backend()
    first = backend.read_records(2)
    for data in writes:
        if data is END_OF_INPUT:
            close_input_and_wait_for_listener(backend)
        else:
            backend.send(data)
            backend.input_taken()
    if is_command:
        rest = parse_output(backend.rest_bytes())
        assert backend.wait() == 0, backend.stderr
        written = changes_of(first + rest)
        assert written == key_changes(events)[:len(written)]
        return
    # Keys that come after the input was read are still reported...
    later = backend.read_records(IN_FLIGHT + 4)
    assert changes_of(first + later) == key_changes(events)[:len(first + later)]
    assert backend.proc.poll() is None
    if END_OF_INPUT in writes:
        # ...and without its input the frontend can only end it with a
        # signal. Keys go on coming until the signal lands, however soon it
        # is sent: their records must go on in order.
        rest = parse_records(backend.terminate())
        written = changes_of(first + later + rest)
        assert written == key_changes(events)[:len(written)]
    else:
        # ...and the command still works after it.
        backend.stop()


# --- an idle backend without input costs nothing --------------------------------

def runtime_ranges(pid: int) -> list[range]:
    """The addresses where a sanitizer's runtime library (libtsan, libasan,
    liblsan, libubsan) is mapped into process `pid`; none in a plain build."""
    ranges = []
    with open(f"/proc/{pid}/maps") as maps:
        for entry in maps:
            fields = entry.split()
            if len(fields) >= 6 and os.path.basename(fields[5]).startswith(
                    ("libtsan", "libasan", "liblsan", "libubsan")):
                start, end = (int(x, 16) for x in fields[0].split("-"))
                ranges.append(range(start, end))
    return ranges


def blocked_at(task: str) -> int | None:
    """The program counter of thread `task` (/proc/<pid>/task/<tid>) while
    it sleeps in a system call, or None if it is not in one at this moment
    (running, or stopped elsewhere)."""
    try:
        with open(f"{task}/syscall") as syscall:
            state = syscall.read().split()
    except OSError:
        return None  # gone
    # Blocked: the call's number, its six arguments, stack pointer, program counter.
    return int(state[-1], 16) if len(state) == 9 else None


def own_threads(pid: int) -> list[str]:
    """The backend's own threads (/proc/<pid>/task/<tid>), without a
    sanitizer runtime's, told apart once every thread sleeps in a system call.

    ThreadSanitizer starts a background thread of its own that wakes ten
    times a second; in an instrumented build it would spoil the count of an
    idle backend's wake-ups, so it is left out. It is told by where it waits:
    the runtime's thread sleeps in a system call made by the runtime library
    itself, so its program counter lies in one of the runtime's ranges. The
    backend's own threads wait in poll and read through the C library, even
    where the runtime intercepts those calls, so their program counter lies
    in libc. A thread caught awake cannot be told apart, so the threads are
    sorted only at a moment when all of them sleep, and the caller measures
    the same threads from then on, whatever they do later.
    """
    runtime = runtime_ranges(pid)
    asleep: dict[str, int] = {}

    def all_asleep() -> bool:
        asleep.clear()
        for task in glob.glob(f"/proc/{pid}/task/*"):
            pc = blocked_at(task)
            if pc is None:
                return False
            asleep[task] = pc
        return bool(asleep)

    wait_until(all_asleep, "a moment when every thread of the idle backend sleeps")
    return [task for task, pc in asleep.items() if not any(pc in where for where in runtime)]


def idle_cost(tasks: list[str]) -> tuple[int, int]:
    """CPU ticks (utime + stime) and voluntary context switches of the
    threads `tasks`, summed."""
    ticks = switches = 0
    for task in tasks:
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
    tasks = own_threads(backend.proc.pid)
    before = idle_cost(tasks)
    # Nothing wakes an idle backend: no key, no input, no timer. A thread that
    # kept polling or reading the closed input would show here within
    # a fraction of the wait.
    time.sleep(2)
    after = idle_cost(tasks)
    assert after == before, f"(CPU ticks, voluntary switches) went from {before} to {after}"
    assert backend.terminate() == []
