# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Running the programs on the test bed: the programs measured, the emulated devices, one run of a program with its probe and reader, and the runner that the measurements share."""

from __future__ import annotations

import contextlib
import dataclasses
import os
import pathlib
import re
import signal
import subprocess
import sys
import time
from typing import Callable, Iterable, Iterator

from measure_probe import Probe
from measure_proc import LoadMeter, LoadTally, proc_memory, proc_waiting
from tools import BenchError, Tools

from emulation import TestBed, devices, environment, hardware

# --- the programs -------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Program:
    name: str
    label: str
    cmd: tuple[str, ...]
    stop: str  # "stdin" (the frontend's stop command), "sigint" or "sigterm"
    writes_records: bool
    # The probe sees each record it writes (write(2) on standard output), so
    # a run is over only once every record is out, not when the last event
    # has been taken from libinput.
    records_seen: bool = False


def programs(tools: Tools) -> dict[str, Program]:
    peer = ("libinput", "debug-events", "--show-keycodes")
    return {p.name: p for p in (
        Program("backend", "backend", (tools.backend,), "stdin", True, records_seen=True),
        Program("peer", "peer", peer, "sigint", True),
        # The peer as it would behave if it flushed every line, as the backend
        # must: the same program with stdout line-buffered by coreutils' stdbuf.
        Program("peer-lb", "peer, line-buffered", ("stdbuf", "-oL", *peer), "sigint", True),
        Program("floor", "floor", (tools.floor,), "sigterm", False),
    )}


# --- the emulated devices -------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Bed:
    """A test bed of the emulation kit, as the benchmark uses it: its root,
    and for each keyboard the test bed's side of its node (a descriptor) and
    its event number, which bench/replay writes key events into."""

    root: pathlib.Path
    keyboards: list[tuple[int, int]]

    def replay_targets(self, count: int) -> list[tuple[int, int]]:
        return self.keyboards[:count]


@contextlib.contextmanager
def emulated(keyboards: int, mice: int = 0) -> Iterator[Bed]:
    """`keyboards` keyboards (event0, event1, ...) followed by `mice` mice.
    The kit allows one test bed at a time in a process."""
    with TestBed() as testbed:
        added = [testbed.add(devices.keyboard(n)) for n in range(keyboards)]
        for n in range(mice):
            testbed.add(devices.mouse(keyboards + n))
        yield Bed(testbed.root, [(testbed.device_fd(d), d.number) for d in added])


@contextlib.contextmanager
def emulated_laptop() -> Iterator[tuple[Bed, TestBed, hardware.Laptop]]:
    """A ThinkPad's built-in devices, its DMI data among them, so that
    libinput treats the clickpad as on the real machine, timers included."""
    with TestBed() as testbed:
        laptop = hardware.install(testbed)
        yield Bed(testbed.root, []), testbed, laptop


# --- one run of one program -----------------------------------------------------

@dataclasses.dataclass
class Result:
    program: str
    status: int
    cpu_user: float
    cpu_sys: float
    records: int
    lines: int
    memory: dict[str, int]
    memory_ready: dict[str, int]
    header: dict[str, int]
    entries: list
    reader_log: list
    spawn_ns: int
    stderr: str

    @property
    def cpu(self) -> float:
        return self.cpu_user + self.cpu_sys


class Session:
    """One program started on a test bed, with its probe and, for programs
    that write records, the reader standing in for the frontend."""

    counter = 0

    def __init__(self, tools: Tools, program: Program, bed: Bed, workdir: pathlib.Path,
                 log_entries: int = 0, reader_log: bool = False, wrapper: tuple[str, ...] = ()):
        Session.counter += 1
        tag = f"{program.name}-{Session.counter}"
        self.program = program
        self.probe = Probe(workdir / f"probe-{tag}")
        self.reader_log_path = workdir / f"reader-{tag}.log" if reader_log else None
        self.stderr_path = workdir / f"stderr-{tag}.log"
        env = environment(bed.root, tools.fixes, front=[tools.probe])
        env["TAPOLUX_PROBE"] = str(self.probe.path)
        env["TAPOLUX_PROBE_ENTRIES"] = str(log_entries)
        clean_env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        self.reader = None
        if program.writes_records:
            args = [tools.reader] + ([str(self.reader_log_path)] if reader_log else [])
            self.reader = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                           env=clean_env)
            stdout = self.reader.stdin
        else:
            stdout = subprocess.PIPE
        self.stderr_file = open(self.stderr_path, "wb")
        self.spawn_ns = time.monotonic_ns()
        self.proc = subprocess.Popen([*wrapper, *program.cmd], stdin=subprocess.PIPE, stdout=stdout,
                                     stderr=self.stderr_file, env=env)
        if self.reader is not None:
            self.reader.stdin.close()
        self.pid = self.proc.pid
        self.stopped = False
        self.memory_ready: dict[str, int] = {}

    def header(self) -> dict[str, int]:
        return self.probe.header() or {}

    def wait_ready(self, timeout: float = 30.0) -> dict[str, int]:
        """Until the program first sleeps in poll: its set-up is done and the
        next event on any device would become a record."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise BenchError(f"{self.program.name} ended at start-up with status "
                                 f"{self.proc.returncode}: {self.stderr_path.read_text()[-2000:]}")
            header = self.probe.header()
            if header and header["first_poll_ns"]:
                self.memory_ready = proc_memory(self.pid)
                return header
            time.sleep(0.002)
        raise BenchError(f"{self.program.name} not ready after {timeout} s")

    def wait_keys(self, expected: int, stall: float = 10.0) -> dict[str, int]:
        """Until the program has taken `expected` key events from libinput,
        written their records where the probe sees them, and sleeps in poll
        again, seen three times in a row. Under a tracer (strace, ltrace) the
        child is the tracer; the probe knows the program's own process id."""
        last, last_change = None, time.monotonic()
        calm = 0
        while True:
            header = self.header()
            progress = (header.get("keys", 0), header.get("writes", 0))
            if progress != last:
                last, last_change = progress, time.monotonic()
            keys, writes = progress
            done = keys >= expected and (not self.program.records_seen or writes >= expected)
            if done and proc_waiting(header.get("pid") or self.pid):
                calm += 1
                if calm >= 3:
                    return header
            else:
                calm = 0
            if time.monotonic() - last_change > stall:
                seen = f" ({writes} records written)" if self.program.records_seen else ""
                raise BenchError(f"{self.program.name} stalled at {keys} of {expected} key events"
                                 + seen)
            if self.proc.poll() is not None:
                raise BenchError(f"{self.program.name} ended early ({self.proc.returncode})")
            time.sleep(0.01)

    def stop(self) -> Result:
        header = self.header()
        # Under strace or ltrace the child is the tracer, which holds fatal
        # signals back; the probe knows the program's own process id.
        target = header.get("pid") or self.pid
        memory = proc_memory(target)
        if self.program.stop == "stdin":
            self.proc.stdin.write(b"stop\n")
            self.proc.stdin.flush()
        else:
            os.kill(target, signal.SIGINT if self.program.stop == "sigint" else signal.SIGTERM)
        return self.finish(memory, header)

    def finish(self, memory, header) -> Result:
        deadline = time.monotonic() + 60
        while True:
            try:
                pid, status, usage = os.wait4(self.pid, os.WNOHANG)
            except ChildProcessError:
                raise BenchError(f"{self.program.name} was already reaped")
            if pid:
                break
            if time.monotonic() > deadline:
                self.proc.kill()
                raise BenchError(f"{self.program.name} did not stop within 60 s")
            time.sleep(0.005)
        self.proc.returncode = os.waitstatus_to_exitcode(status)
        self.stopped = True
        self.proc.stdin.close()
        out = b""
        if self.reader is not None:
            out = self.reader.stdout.read()
            self.reader.wait()
        elif self.proc.stdout is not None:
            out = self.proc.stdout.read()
            self.proc.stdout.close()
        self.stderr_file.close()
        lines = records = 0
        m = re.search(rb"lines (\d+) keys (\d+)", out)
        if m:
            lines, records = int(m.group(1)), int(m.group(2))
        m = re.search(rb"^keys (\d+)$", out, re.M)
        if m and self.reader is None:
            records = int(m.group(1))
        entries = self.probe.entries() if header.get("capacity") else []
        reader_log = []
        if self.reader_log_path is not None and self.reader_log_path.exists():
            for line in self.reader_log_path.read_text(errors="replace").splitlines():
                t, _, text = line.partition(" ")
                reader_log.append((int(t), text))
        self.probe.close()
        return Result(self.program.name, self.proc.returncode, usage.ru_utime, usage.ru_stime,
                      records, lines, memory, self.memory_ready, header, entries, reader_log,
                      self.spawn_ns,
                      self.stderr_path.read_text(errors="replace"))

    def kill(self):
        if not self.stopped and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.reader is not None and self.reader.poll() is None:
            self.reader.kill()
            self.reader.wait()


def replay(tools: Tools, probe: Probe, targets: list[tuple[int, int]], keys: int,
           rate: float | None = None, log: pathlib.Path | None = None) -> None:
    args = [tools.replay, "--probe", str(probe.path), "--keys", str(keys)]
    if rate:
        args += ["--rate", str(rate)]
    if log:
        args += ["--log", str(log)]
    args += [f"{fd}:{number}" for fd, number in targets]
    subprocess.run(args, check=True, pass_fds=[fd for fd, _ in targets])


def checked(result: Result, expected: int) -> Result:
    if result.status != 0:
        raise BenchError(f"{result.program} exited with {result.status}: {result.stderr[-2000:]}")
    if result.records != expected:
        raise BenchError(f"{result.program} gave {result.records} records for {expected} key events")
    return result


# --- what every measurement runs through -------------------------------------------

class Runner:
    """Runs the programs on test beds for the measurements (parts.py), and
    gathers their figures in `results`, by part."""

    def __init__(self, args, tools: Tools, progs: dict[str, Program], workdir: pathlib.Path,
                 quiet_budget: float = 0.0):
        self.args = args
        self.tools = tools
        self.progs = progs
        self.workdir = workdir
        self.results: dict = {}
        self.log = (lambda *a: print(*a, file=sys.stderr, flush=True))
        self.quiet_budget = quiet_budget
        self.waited = 0.0

    def wait_quiet(self, threshold: float = 0.15, window: float = 0.5) -> None:
        """The machine is shared: before a timed run, wait for a moment when
        other processes use less than `threshold` of the CPUs, as long as the
        run's whole budget for waiting lasts."""
        while self.waited < self.quiet_budget:
            meter = LoadMeter()
            time.sleep(window)
            if meter.others() < threshold:
                return
            self.waited += window

    def run(self, bed: Bed, prog: Program, keys: int, *, devices: int = 1,
            rate: float | None = None, replay_log: pathlib.Path | None = None,
            log_entries: int = 0, reader_log: bool = False, wrapper: tuple[str, ...] = (),
            on_stall: Callable[[BenchError], None] | None = None) -> Result:
        """Starts `prog` on the bed, replays `keys` key events into the first
        `devices` keyboards (a flood, or paced at `rate` a second), waits until
        the program has handled them all and stops it. A stall raises, or,
        given `on_stall`, is handed to it and the program is stopped anyway."""
        session = Session(self.tools, prog, bed, self.workdir, log_entries=log_entries,
                          reader_log=reader_log, wrapper=wrapper)
        slow = bool(wrapper)  # under valgrind, strace or ltrace
        try:
            session.wait_ready(120 if slow else 30)
            replay(self.tools, session.probe, bed.replay_targets(devices), keys, rate, replay_log)
            try:
                session.wait_keys(keys, stall=60 if slow else 10)
            except BenchError as e:
                if on_stall is None:
                    raise
                on_stall(e)
            return session.stop()
        finally:
            session.kill()

    def run_flood(self, bed: Bed, prog: Program, keys: int, devices: int = 1,
                  wrapper: tuple[str, ...] = ()) -> Result:
        return checked(self.run(bed, prog, keys, devices=devices, wrapper=wrapper), keys)

    def timed_floods(self, bed: Bed, prog: Program, counts: Iterable[int], load: LoadTally,
                     devices: int = 1) -> list[Result]:
        """One flood of each length, each after waiting for a quiet moment,
        with the others' load counted over the runs."""
        results = []
        for keys in counts:
            self.wait_quiet()
            with load.timed():
                results.append(self.run_flood(bed, prog, keys, devices))
        return results
