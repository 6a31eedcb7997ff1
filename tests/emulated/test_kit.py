# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""The kit itself: the launch options that tests of unusual launch conditions
build on (a standard output handed over, code run in the child before the
exec), and its checks of a running backend, which must hold whatever the
backend does between the looks they take."""

import os
import signal

from emulation import (START_US, Backend, changes_of, devices, key_changes, parse_output,
                       wait_until)
from emulation.process import threads


def state(pid: int, tid: int) -> str:
    """The state letter of one thread (R running, S sleeping, T stopped...)."""
    with open(f"/proc/{pid}/task/{tid}/stat") as stat:
        return stat.read().rsplit(")", 1)[1].split()[0]


def test_standard_output_handed_over_gets_the_records(testbed, start_backend, tmp_path):
    events = devices.typed("ok", START_US)
    testbed.add(devices.keyboard(0), events)
    path = tmp_path / "records"
    with open(path, "wb") as out:
        backend = start_backend(stdout=out)
    due = len(key_changes(events))
    wait_until(lambda: path.read_bytes().count(b"\n") >= due, f"{due} records in {path}")
    assert backend.stop() == []
    assert changes_of(parse_output(path.read_bytes())) == key_changes(events)


def test_preexec_runs_once_the_standard_streams_are_in_place(testbed, start_backend):
    testbed.add(devices.keyboard(0))
    backend = start_backend(preexec=lambda: os.write(2, b"before exec\n"))
    assert backend.stop() == []
    assert backend.stderr.startswith("before exec\n"), backend.stderr


def test_input_taken_when_the_backend_ends_between_the_two_looks(testbed, start_backend,
                                                                 monkeypatch):
    # input_taken() looks at the process and at the level of its input pipe.
    # Here the backend reads the last bytes, the end of the stop command, and
    # ends right between the two looks: that is input taken, not a backend
    # that ended with input unread.
    testbed.add(devices.keyboard(0))
    backend = start_backend()
    backend.send(b"st")
    backend.input_taken()
    # Held still, it cannot read the rest before the first look.
    os.kill(backend.proc.pid, signal.SIGSTOP)
    wait_until(lambda: all(state(backend.proc.pid, tid) == "T"
                           for tid in threads(backend.proc.pid)), "the backend's stop")
    backend.send(b"op\n")
    look_at_pipe = Backend._fionread
    levels = []

    def look_then_let_it_end(pipe):
        level = look_at_pipe(pipe)
        if not levels:
            levels.append(level)
            os.kill(backend.proc.pid, signal.SIGCONT)
            # Ended, but not yet reaped: the kit's next look still finds it.
            wait_until(lambda: os.waitid(os.P_PID, backend.proc.pid,
                                         os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None,
                       "the backend's end")
        return level

    monkeypatch.setattr(Backend, "_fionread", staticmethod(look_then_let_it_end))
    backend.input_taken()
    assert levels == [3]
    assert backend.wait() == 0, backend.stderr
