#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""The benchmark driver: runs the backend, the peer (libinput debug-events)
and the floor (bench/floor.c) on the same emulated devices, one after the
other, and reports CPU per key event, latency, idle cost, memory and start-up
time. Started by bench/run under umockdev-wrapper; see docs/performance.md
for what each figure means and how it is taken.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import dataclasses
import json
import mmap
import os
import pathlib
import platform
import re
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from typing import Callable, Iterable, Iterator

from emulation import TestBed, Unavailable, devices, environment, parse_record

PAGE = os.sysconf("SC_PAGE_SIZE")
TICK = os.sysconf("SC_CLK_TCK")

# Layout of the probe's shared file (bench/probe.h).
HEADER_FIELDS = ("magic", "capacity", "pid", "started_ns", "first_poll_ns", "input_bytes",
                 "frames", "keys", "writes", "entries", "reads")
HEADER = struct.Struct(f"<{len(HEADER_FIELDS)}Q")
HEADER_SIZE = 16 * 8
PROBE_DEVICES = 64
LOG_OFFSET = HEADER_SIZE + PROBE_DEVICES * 8
ENTRY = struct.Struct("<QQQ")
PROBE_MAGIC = 0x65626F7270786C74
FRAME, KEY, WRITE = 1, 2, 3

# System calls a program sleeps in while it waits for input (x86-64 numbers):
# poll, select, epoll_wait, pselect6, ppoll, epoll_pwait, epoll_pwait2.
WAITING_SYSCALLS = {7, 23, 232, 270, 271, 281, 441}


class BenchError(RuntimeError):
    pass


# --- the programs -------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Tools:
    """What bench/meson.build built, read from the file it writes (bench/tools
    in the build): the backend, the floor, the probe, the emulation's fixes,
    the replay and the reader."""

    backend: str
    floor: str
    probe: str
    fixes: str
    replay: str
    reader: str

    @classmethod
    def read(cls, path: str) -> "Tools":
        paths = {}
        for line in pathlib.Path(path).read_text().splitlines():
            if line.strip() and not line.startswith("#"):
                name, _, value = line.partition("=")
                paths[name.strip()] = value.strip()
        names = [f.name for f in dataclasses.fields(cls)]
        missing = [n for n in names if not os.path.exists(paths.get(n, ""))]
        if missing:
            raise BenchError(f"{path}: not built: {', '.join(missing)}")
        return cls(**{n: paths[n] for n in names})


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


# --- the probe's shared file ----------------------------------------------------

class Probe:
    def __init__(self, path: pathlib.Path):
        self.path = path
        self._map = None

    def _mapped(self):
        if self._map is None:
            try:
                with open(self.path, "rb") as f:
                    if os.fstat(f.fileno()).st_size < LOG_OFFSET:
                        return None
                    self._map = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
            except FileNotFoundError:
                return None
        return self._map

    @staticmethod
    def _header(data) -> dict[str, int]:
        return dict(zip(HEADER_FIELDS, HEADER.unpack_from(data, 0)))

    def header(self) -> dict[str, int] | None:
        m = self._mapped()
        if m is None:
            return None
        header = self._header(m)
        return header if header["magic"] == PROBE_MAGIC else None

    def entries(self) -> list[tuple[int, int, int]]:
        """(kind, t_ns, value) of every entry noted, in the order noted."""
        data = self.path.read_bytes()
        header = self._header(data)
        if header["entries"] > header["capacity"]:
            raise BenchError(f"probe log overflowed: {header['entries']} > {header['capacity']}")
        out = []
        for i in range(header["entries"]):
            t, value, kind = ENTRY.unpack_from(data, LOG_OFFSET + i * ENTRY.size)
            out.append((kind, t, value))
        return out

    def close(self):
        if self._map is not None:
            self._map.close()
            self._map = None


# --- /proc ----------------------------------------------------------------------

def _status_numbers(path: str, names: Iterable[str]) -> dict[str, int]:
    """The numbers after `name:` in a /proc status file (kB where it has units)."""
    with open(path) as f:
        text = f.read()
    return {k: int(re.search(rf"^{k}:\s+(\d+)", text, re.M).group(1)) for k in names}


def proc_ticks(pid: int) -> int:
    """utime + stime of the whole process, in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def proc_switches(pid: int) -> tuple[int, int]:
    """Voluntary and involuntary context switches summed over all threads."""
    vol = invol = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            counts = _status_numbers(f"/proc/{pid}/task/{tid}/status",
                                     ("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"))
        except FileNotFoundError:
            continue
        vol += counts["voluntary_ctxt_switches"]
        invol += counts["nonvoluntary_ctxt_switches"]
    return vol, invol


def proc_memory(pid: int) -> dict[str, int]:
    """VmHWM, VmRSS, RssAnon, RssFile in kB."""
    return _status_numbers(f"/proc/{pid}/status", ("VmHWM", "VmRSS", "RssAnon", "RssFile"))


def proc_waiting(pid: int) -> bool:
    """True while the main thread sleeps in a poll-like call."""
    try:
        with open(f"/proc/{pid}/syscall") as f:
            first = f.read().split()[0]
    except (FileNotFoundError, IndexError, PermissionError):
        return False
    return first.isdigit() and int(first) in WAITING_SYSCALLS


class LoadMeter:
    """How busy the rest of the machine was: CPU time used by processes other
    than this benchmark (the driver and every child it has waited for),
    as a share of all CPUs."""

    def __init__(self):
        self.start = self._sample()

    @staticmethod
    def _sample():
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:]]
        busy = sum(fields[i] for i in (0, 1, 2, 5, 6, 7)) / TICK  # all but idle and iowait
        t = os.times()
        own = t.user + t.system + t.children_user + t.children_system
        return time.monotonic(), busy, own

    def others(self) -> float:
        used, available = self.totals()
        return used / available

    def totals(self) -> tuple[float, float]:
        """CPU seconds used by other processes, and CPU seconds there were."""
        t1, busy1, own1 = self._sample()
        t0, busy0, own0 = self.start
        return max(0.0, (busy1 - busy0) - (own1 - own0)), (t1 - t0) * (os.cpu_count() or 1)


class LoadTally:
    """Others' share of the CPUs over the timed runs of one part, leaving out
    the pauses between them."""

    def __init__(self):
        self.used = self.available = 0.0

    @contextlib.contextmanager
    def timed(self):
        meter = LoadMeter()
        yield
        used, available = meter.totals()
        self.used += used
        self.available += available

    def share(self) -> float:
        return self.used / self.available if self.available else 0.0


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

    def wait_keys(self, expected: int, stall: float = 10.0, traced: bool = False) -> dict[str, int]:
        """Until the program has taken `expected` key events from libinput,
        written their records where the probe sees them, and sleeps in poll
        again. Under a tracer (strace, ltrace) the process seen is the tracer:
        a pause of half a second stands in for the check of poll."""
        last, last_change = None, time.monotonic()
        calm = 0
        while True:
            header = self.header()
            progress = (header.get("keys", 0), header.get("writes", 0))
            if progress != last:
                last, last_change = progress, time.monotonic()
            keys, writes = progress
            done = keys >= expected and (not self.program.records_seen or writes >= expected)
            if done and traced:
                time.sleep(0.5)
                return self.header()
            if done and proc_waiting(self.pid):
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


def per_key_us(short_runs: list[Result], long_runs: list[Result], delta: int,
               value: Callable[[Result], float] = lambda r: r.cpu) -> tuple[float, list[float]]:
    """CPU per key event in µs from floods of two lengths `delta` key events
    apart: the difference of the best runs, and that of each repeat's pair."""
    best = (min(map(value, long_runs)) - min(map(value, short_runs))) / delta * 1e6
    pairs = [(value(b) - value(a)) / delta * 1e6 for a, b in zip(short_runs, long_runs)]
    return best, pairs


# --- counting tools: valgrind callgrind and massif, strace -c --------------------

def valgrind(tool: str, stem: pathlib.Path) -> tuple[str, ...]:
    """A valgrind tool writing STEM.<pid> for each process. libinput's
    launcher execs the debug-events tool: the exec is followed."""
    return ("valgrind", f"--tool={tool}", "--quiet", "--trace-children=yes",
            f"--{tool}-out-file={stem}.%p")


def callgrind_lines(path: pathlib.Path, inclusive: bool, threshold: int):
    """(instructions, percent, rest of the line) of callgrind_annotate's rows."""
    text = subprocess.run(["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}",
                           f"--threshold={threshold}", str(path)],
                          capture_output=True, text=True, check=True).stdout
    for line in text.splitlines():
        m = re.match(r"^\s*([\d,]+) \(\s*([\d.]+)%\)\s+(.*)$", line)
        if m and not m.group(3).startswith("PROGRAM TOTALS"):
            yield int(m.group(1).replace(",", "")), m.group(2), m.group(3)


def strace_c(stem: pathlib.Path) -> tuple[str, ...]:
    """strace -c over the process and its children, into STEM.txt."""
    return ("strace", "-f", "-c", "-o", f"{stem}.txt")


def strace_counts(path: pathlib.Path) -> dict[str, int]:
    """Calls by system call name (and "total") from strace -c's table."""
    calls = {}
    for line in path.read_text().splitlines():
        m = re.match(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(\d+\s+)?(\w+)$", line)
        if m:
            calls[m.group(3)] = int(m.group(1))
    return calls


# --- the measurements -------------------------------------------------------------

class Bench:
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
                session.wait_keys(keys, stall=60 if slow else 10,
                                  traced=slow and wrapper[0] in ("strace", "ltrace"))
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

    # 1. and the memory growth: CPU per key event under a flood
    def flood_cpu(self, names, short: int, long: int, repeats: int):
        out = {}
        load = LoadTally()
        with emulated(keyboards=1, mice=1) as bed:
            runs = {n: {"short": [], "long": []} for n in names}
            for r in range(repeats):
                for n in names:  # interleaved, so that a noisy moment hits all alike
                    s, l_ = self.timed_floods(bed, self.progs[n], (short, long), load)
                    runs[n]["short"].append(s)
                    runs[n]["long"].append(l_)
                    for keys, res in ((short, s), (long, l_)):
                        self.log(f"  flood {n:8} {keys:7} keys: cpu {res.cpu * 1e3:8.1f} ms "
                                 f"(user {res.cpu_user * 1e3:.1f}) rss {res.memory['VmRSS']} kB")
        # Memory figures of every run, by kind of flood: what a run ended
        # with, and what it grew by from ready to end in the same process.
        memory = {
            "rss": lambda x: x.memory["VmRSS"],
            "anon": lambda x: x.memory["RssAnon"],
            "rss_growth": lambda x: x.memory["VmRSS"] - x.memory_ready["VmRSS"],
            "anon_growth": lambda x: x.memory["RssAnon"] - x.memory_ready["RssAnon"],
        }
        delta = long - short
        for n in names:
            s, l_ = runs[n]["short"], runs[n]["long"]
            best, pairs = per_key_us(s, l_, delta)
            best_user, _ = per_key_us(s, l_, delta, lambda r: r.cpu_user)
            out[n] = {
                "best_us": best,
                "best_user_us": best_user,
                "best_sys_us": best - best_user,
                "pairs_us": pairs,
                "hwm_kb": statistics.median(x.memory["VmHWM"] for x in l_),
                "hwm_all_kb": [x.memory["VmHWM"] for x in l_],
                "reads_per_key_long": statistics.median(x.header["reads"] / long for x in l_),
            }
            for kind, kind_runs in (("short", s), ("long", l_)):
                out[n][f"{kind}_cpu_ms"] = [x.cpu * 1e3 for x in kind_runs]
                out[n][f"log_lines_{kind}"] = [x.stderr.count("\n") for x in kind_runs]
                for figure, value in memory.items():
                    out[n][f"{figure}_{kind}_kb"] = [value(x) for x in kind_runs]
        self.results["flood"] = {"short": short, "long": long, "repeats": repeats, "by": out,
                                 "others_load": load.share()}
        self.log(f"  other processes kept {load.share():.0%} of the CPUs busy")

    # 2. latency at a steady rate
    def latency(self, names, rate: float, keys: int):
        out = {}
        load = LoadTally()
        with emulated(keyboards=1, mice=1) as bed:
            for n in names:
                prog = self.progs[n]
                replay_log = self.workdir / f"replay-{n}-{int(rate)}.log"
                self.wait_quiet()
                with load.timed():
                    res = checked(self.run(bed, prog, keys, rate=rate, replay_log=replay_log,
                                           log_entries=4 * keys + 64,
                                           reader_log=prog.writes_records), keys)
                out[n] = self._latencies(res, replay_log, keys, rate)
                summary = out[n].get("read_to_arrival") or out[n]["read_to_dequeue"]
                self.log(f"  latency {n:8} at {rate:g}/s: median {summary['median']:.3f} ms "
                         f"p99 {summary['p99']:.3f} ms max {summary['max']:.3f} ms")
        self.results.setdefault("latency", {})[str(int(rate))] = {"rate": rate, "keys": keys, "by": out,
                                                                  "others_load": load.share()}

    @staticmethod
    def _stats(values_ns):
        ms = sorted(v / 1e6 for v in values_ns)
        if not ms:
            return None
        p99 = ms[min(len(ms) - 1, int(round(0.99 * (len(ms) - 1))))]
        return {"median": statistics.median(ms), "p99": p99, "max": ms[-1], "n": len(ms)}

    def _latencies(self, res: Result, replay_log: pathlib.Path, keys: int, rate: float):
        written = []
        for line in replay_log.read_text().split("\n"):
            if line:
                frame_us, write_ns = map(int, line.split())
                written.append((frame_us, write_ns))
        if len(written) != keys:
            raise BenchError(f"replay log has {len(written)} of {keys} frames")
        read_at: dict[int, int] = {}
        dequeued, flushed = [], []
        for kind, t, value in res.entries:
            if kind == FRAME:
                read_at.setdefault(value, t)
            elif kind == KEY:
                dequeued.append((value, t))
            elif kind == WRITE:
                flushed.append(t)
        if len(dequeued) != keys:
            raise BenchError(f"{res.program}: probe saw {len(dequeued)} of {keys} key events")
        backend = res.program == "backend"
        if backend and len(flushed) != keys:
            raise BenchError(f"{res.program}: probe saw {len(flushed)} of {keys} records written")
        d_read, d_deq, d_write, d_arrive, d_total, d_emul = [], [], [], [], [], []
        for k, (frame_us, write_ns) in enumerate(written):
            value, t_deq = dequeued[k]
            if value != frame_us:
                raise BenchError(f"{res.program}: key {k} has time {value}, frame {frame_us}")
            t_read = read_at[frame_us]
            d_read.append(t_read - write_ns)
            d_deq.append(t_deq - t_read)
            if backend:
                d_write.append(flushed[k] - t_deq)
            if res.reader_log:
                t_arr, text = res.reader_log[k]
                if backend:
                    stamp = json.loads(text)["time_stamp"]
                    if stamp != frame_us // 1000:
                        raise BenchError(f"record {k} has time_stamp {stamp}, frame {frame_us // 1000}")
                d_arrive.append(t_arr - (flushed[k] if backend else t_deq))
                d_total.append(t_arr - t_read)
                d_emul.append(t_arr - write_ns)
        # The replay's own pacing: how far each write was from its exact period.
        period = 1e9 / rate
        first = written[0][1]
        lateness = [w - (first + k * period) for k, (_, w) in enumerate(written)]
        return {
            "pty_hop": self._stats(d_read),
            "read_to_dequeue": self._stats(d_deq),
            "dequeue_to_write": self._stats(d_write),
            "write_to_arrival": self._stats(d_arrive),
            "read_to_arrival": self._stats(d_total),
            "emulated_write_to_arrival": self._stats(d_emul),
            "replay_lateness_max_ms": max(lateness) / 1e6,
            "replay_lateness_min_ms": min(lateness) / 1e6,
        }

    # 3. idle cost
    def idle(self, names, seconds: float):
        out = {}
        with emulated(keyboards=1, mice=1) as bed:
            sessions = [Session(self.tools, self.progs[n], bed, self.workdir) for n in names]
            try:
                for s in sessions:
                    s.wait_ready()
                time.sleep(1.0)  # let anything that follows start-up settle
                before = {s.program.name: (proc_ticks(s.pid), proc_switches(s.pid)) for s in sessions}
                time.sleep(seconds)
                after = {s.program.name: (proc_ticks(s.pid), proc_switches(s.pid)) for s in sessions}
                threads = {s.program.name: len(os.listdir(f"/proc/{s.pid}/task")) for s in sessions}
                for s in sessions:
                    checked(s.stop(), 0)
            finally:
                for s in sessions:
                    s.kill()
        for n in names:
            (t0, (v0, i0)), (t1, (v1, i1)) = before[n], after[n]
            out[n] = {"ticks": t1 - t0, "voluntary": v1 - v0, "involuntary": i1 - i0,
                      "threads": threads[n]}
            self.log(f"  idle {n:8}: {out[n]}")
        self.results["idle"] = {"seconds": seconds, "by": out}

    # 4a. start-up time
    def startup(self, names, device_counts, repeats: int):
        out = {}
        for count in device_counts:
            keyboards = count // 2
            with emulated(keyboards=keyboards, mice=count - keyboards) as bed:
                for n in names:
                    spawn_to_ready, exec_to_ready, cpu = [], [], []
                    for _ in range(repeats):
                        s = Session(self.tools, self.progs[n], bed, self.workdir)
                        try:
                            h = s.wait_ready()
                            res = checked(s.stop(), 0)
                        finally:
                            s.kill()
                        spawn_to_ready.append((h["first_poll_ns"] - s.spawn_ns) / 1e6)
                        exec_to_ready.append((h["first_poll_ns"] - h["started_ns"]) / 1e6)
                        cpu.append(res.cpu * 1e3)
                    out.setdefault(n, {})[str(count)] = {
                        "spawn_to_ready_ms": statistics.median(spawn_to_ready),
                        "spawn_to_ready_all": spawn_to_ready,
                        "loaded_to_ready_ms": statistics.median(exec_to_ready),
                        "cpu_start_stop_ms": statistics.median(cpu),
                    }
                    self.log(f"  start-up {n:8} {count:2} devices: "
                             f"{statistics.median(spawn_to_ready):.1f} ms")
        self.results["startup"] = {"repeats": repeats, "by": out}

    # 4b. heap use
    def heap(self, names, keys: int):
        out = {}
        with emulated(keyboards=1, mice=1) as bed:
            for n in names:
                stem = self.workdir / f"massif-{n}"
                self.run_flood(bed, self.progs[n], keys, wrapper=valgrind("massif", stem))
                peaks = [self._massif_peak(p) for p in self.workdir.glob(f"{stem.name}.*")]
                out[n] = max(peaks, key=lambda p: p["peak_heap_kb"] + p["peak_extra_kb"])
                self.log(f"  heap {n:8}: {out[n]['peak_heap_kb']:.1f} kB "
                         f"+ {out[n]['peak_extra_kb']:.1f} kB allocator overhead")
        self.results["heap"] = {"keys": keys, "by": out}

    @staticmethod
    def _massif_peak(path: pathlib.Path):
        peak_total, peak = -1, None
        snap = {}
        for line in path.read_text().splitlines():
            if line.startswith("snapshot="):
                snap = {}
            m = re.match(r"(mem_heap_B|mem_heap_extra_B)=(\d+)", line)
            if m:
                snap[m.group(1)] = int(m.group(2))
                if len(snap) == 2 and sum(snap.values()) > peak_total:
                    peak_total, peak = sum(snap.values()), dict(snap)
        return {"peak_heap_kb": peak["mem_heap_B"] / 1024, "peak_extra_kb": peak["mem_heap_extra_B"] / 1024}

    def counted(self, bed: Bed, prog: Program, short: int, long: int, tool: str,
                wrapper: Callable[[pathlib.Path], tuple[str, ...]],
                count: Callable[[list[pathlib.Path]], dict[str, int]]) -> dict[str, float]:
        """Per key event, the difference between a long and a short flood of
        counts that a tool (`wrapper`) leaves in its output files, read by
        `count`: start-up and shut-down cancel out."""
        totals = []
        for keys in (short, long):
            stem = f"{tool}-{prog.name}-{keys}"
            self.run_flood(bed, prog, keys, wrapper=wrapper(self.workdir / stem))
            totals.append(count(sorted(self.workdir.glob(f"{stem}.*"))))
        s, l_ = totals
        return {k: (l_.get(k, 0) - s.get(k, 0)) / (long - short) for k in set(s) | set(l_)}

    # user-space instructions per key event, by library (callgrind)
    def instructions(self, names, short: int, long: int):
        out = {}
        with emulated(keyboards=1, mice=1) as bed:
            for n in names:
                prog = self.progs[n]
                per_object = self.counted(bed, prog, short, long, "callgrind",
                                          lambda stem: valgrind("callgrind", stem),
                                          lambda files: max(map(self._callgrind_objects, files),
                                                            key=lambda d: sum(d.values())))
                groups = {}
                for obj, per_key in per_object.items():
                    group = self._object_group(obj)
                    groups[group] = groups.get(group, 0) + per_key
                out[n] = {"total": sum(groups.values()), "by_object": groups}
                top = ", ".join(f"{k} {v:.0f}" for k, v in sorted(groups.items(), key=lambda kv: -kv[1])[:5])
                self.log(f"  instructions {n:8}: {out[n]['total']:.0f} per key event ({top})")
        self.results["instructions"] = {"short": short, "long": long, "by": out}

    @staticmethod
    def _callgrind_objects(path: pathlib.Path) -> dict[str, int]:
        sums: dict[str, int] = {}
        for ir, _, rest in callgrind_lines(path, inclusive=False, threshold=100):
            m = re.match(r".*\[(.+)\]$", rest)
            if m:
                sums[m.group(1)] = sums.get(m.group(1), 0) + ir
        return sums

    @staticmethod
    def _object_group(obj: str) -> str:
        name = os.path.basename(obj)
        if name.startswith("libinput.so"):
            return "libinput"
        if name.startswith("libevdev.so"):
            return "libevdev"
        if name.startswith("libudev.so"):
            return "libudev"
        if name.startswith(("libc.so", "ld-linux")):
            return "libc"
        if name.startswith(("libstdc++", "libgcc_s")):
            return "libstdc++"
        if name.startswith(("libumockdev", "libglib", "libgobject", "libgio", "libgmodule")):
            return "umockdev emulation"
        if name in ("probe.so", "umockdev_fixes.so"):
            return "bench probe and test fixes"
        if name.startswith("vgpreload"):
            return "valgrind"
        return "program itself"

    # system calls per key event (strace -c)
    def syscalls(self, names, short: int, long: int):
        out = {}
        with emulated(keyboards=1, mice=1) as bed:
            for n in names:
                # strace -f writes one table for the process and its children.
                per_key = self.counted(bed, self.progs[n], short, long, "strace", strace_c,
                                       lambda files: strace_counts(files[0]))
                out[n] = {"total": per_key.get("total", 0.0), "write": per_key.get("write", 0.0),
                          "calls": {k: v for k, v in per_key.items() if abs(v) >= 0.001}}
                self.log(f"  system calls {n:8}: {out[n]['total']:.3f} per key event, "
                         f"{out[n]['write']:.3f} writes")
        self.results["syscalls"] = {"short": short, "long": long, "by": out}

    # 5. several devices flooding at once
    def growth(self, names, device_counts, short: int, long: int, repeats: int):
        out = {}
        load = LoadTally()
        for count in device_counts:
            with emulated(keyboards=count) as bed:
                for n in names:
                    s_runs, l_runs = [], []
                    for _ in range(repeats):
                        s, l_ = self.timed_floods(bed, self.progs[n], (short, long), load, count)
                        s_runs.append(s)
                        l_runs.append(l_)
                    best, pairs = per_key_us(s_runs, l_runs, long - short)
                    out.setdefault(n, {})[str(count)] = {"best_us": best, "pairs_us": pairs}
                    self.log(f"  growth {n:8} {count:2} devices: {best:.2f} us/key")
        self.results["growth"] = {"short": short, "long": long, "repeats": repeats, "by": out,
                                  "others_load": load.share()}


# --- where the time goes: bench/run --profile ------------------------------------------

def profile(bench: Bench, keys: int = 6000) -> int:
    """Prints, for a flood of `keys` key events: the backend's most costly
    functions (callgrind, exclusive and inclusive), the system calls per key
    event of the backend, the peer and the floor (strace -c), and the
    backend's library calls per key event (ltrace -c, on fewer events, as it
    stops the process at every call)."""
    work = bench.workdir
    with emulated(keyboards=1, mice=1) as bed:
        print(f"== callgrind, backend, {keys} key events (Ir per key event; start-up included)")
        stem = work / "callgrind-profile"
        bench.run_flood(bed, bench.progs["backend"], keys, wrapper=valgrind("callgrind", stem))
        (out,) = work.glob(f"{stem.name}.*")
        for inclusive in (False, True):
            print(f"-- {'inclusive' if inclusive else 'exclusive'}")
            for shown, (ir, percent, rest) in enumerate(callgrind_lines(out, inclusive, 99)):
                if shown == 25:
                    break
                print(f"{ir / keys:10.0f}  {percent:>6}%  {rest[:150]}")
        for n in ("backend", "peer", "floor"):
            stem = work / f"strace-{n}"
            bench.run_flood(bed, bench.progs[n], keys, wrapper=strace_c(stem))
            print(f"== strace -c -f, {n}: system calls per key event (start-up included)")
            for name, calls in strace_counts(pathlib.Path(f"{stem}.txt")).items():
                if calls >= keys // 100:
                    print(f"{calls / keys:8.3f}  {name}")
        small = max(keys // 6, 480)
        trace = work / "ltrace-backend.txt"
        bench.run_flood(bed, bench.progs["backend"], small,
                        wrapper=("ltrace", "-c", "-o", str(trace)))
        print(f"== ltrace -c, backend, {small} key events: library calls per key event")
        for line in trace.read_text().splitlines():
            m = re.match(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(\S+)$", line)
            if m and int(m.group(1)) >= small // 10:
                print(f"{int(m.group(1)) / small:8.3f}  {m.group(2)}")
    return 0


# --- the report --------------------------------------------------------------------

def machine() -> dict[str, str]:
    def cmd(*args):
        try:
            return subprocess.run(args, capture_output=True, text=True, check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            return "?"
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return {
        "nproc": str(os.cpu_count()),
        "cpu": model,
        "kernel": platform.release(),
        "libinput": cmd("libinput", "--version"),
        "umockdev": cmd("dpkg-query", "-W", "-f=${Version}", "umockdev"),
        "compiler": cmd("c++", "--version").splitlines()[0],
        "os": cmd("sh", "-c", ". /etc/os-release && echo $PRETTY_NAME"),
    }


def fmt(v, digits=2):
    return "–" if v is None else f"{v:.{digits}f}"


def lat_cell(stats):
    if not stats:
        return "–"
    return f"{stats['median']:.3f} / {stats['p99']:.3f} / {stats['max']:.3f}"


def report(results, names, labels) -> tuple[str, list[tuple[str, str, str]]]:
    cols = [labels[n] for n in names]
    rows = []

    def row(title, by, cell, missing="–"):
        """A row of the table: `cell` of each program's figures in `by`,
        `missing` for a program that has none."""
        rows.append("| " + title + " | " + " | ".join(cell(by[n]) if n in by else missing for n in names)
                    + " |")

    fl = results["flood"]["by"]
    row("CPU per key event, flood, best (µs)", fl, lambda f: fmt(f["best_us"]))
    row("… of which user / system (µs)", fl, lambda f: f"{f['best_user_us']:.2f} / {f['best_sys_us']:.2f}")
    row("… spread over repeats (µs)", fl, lambda f: f"{min(f['pairs_us']):.2f} – {max(f['pairs_us']):.2f}")
    row("device reads per key event, flood", fl, lambda f: f"{f['reads_per_key_long']:.3f}")
    ins = results.get("instructions", {}).get("by", {})
    if ins:
        row("user-space instructions per key event (callgrind)", ins, lambda i: f"{i['total']:.0f}")
        if "floor" in ins:
            base = ins["floor"]["total"]
            row("… above the floor", ins,
                lambda i: f"{i['total'] - base:+.0f} ({(i['total'] / base - 1) * 100:+.0f} %)")
        for group in ("libinput", "libevdev", "libc", "program itself", "umockdev emulation",
                      "bench probe and test fixes"):
            row(f"… in {group}", ins, lambda i: f"{i['by_object'].get(group, 0):.0f}")
    sc = results.get("syscalls", {}).get("by", {})
    if sc:
        row("system calls per key event, flood (strace -c)", sc, lambda c: f"{c['total']:.3f}")
        row("… of which write", sc, lambda c: f"{c['write']:.3f}")
    for _, lat in sorted(results.get("latency", {}).items(), key=lambda kv: float(kv[0])):
        by = lat["by"]
        rate = lat["rate"]
        row(f"latency read → record at reader, {rate:g} keys/s (ms, median / p99 / max)", by,
            lambda b: lat_cell(b["read_to_arrival"]))
        row(f"… read → libinput hands the event over, {rate:g}/s (ms)", by,
            lambda b: lat_cell(b["read_to_dequeue"]))
        row(f"… emulated device write → record at reader, {rate:g}/s (ms)", by,
            lambda b: lat_cell(b["emulated_write_to_arrival"]))
        if "backend" in by and by["backend"]["dequeue_to_write"]:
            row(f"… backend: handed over → written / written → at reader, {rate:g}/s (ms, median / p99)",
                {"backend": by["backend"]},
                lambda b: f"{b['dequeue_to_write']['median']:.3f} / {b['dequeue_to_write']['p99']:.3f}; "
                          f"{b['write_to_arrival']['median']:.3f} / {b['write_to_arrival']['p99']:.3f}",
                missing="")
    idle = results["idle"]
    row(f"idle {idle['seconds']:g} s: CPU ticks", idle["by"], lambda i: str(i["ticks"]))
    row(f"idle {idle['seconds']:g} s: voluntary / involuntary switches (all threads)", idle["by"],
        lambda i: f"{i['voluntary']} / {i['involuntary']}")
    row("peak RSS, VmHWM, median of the long floods (kB)", fl, lambda f: f"{f['hwm_kb']:.0f}")
    row("… of which anonymous at the end, RssAnon (kB)", fl,
        lambda f: f"{statistics.median(f['anon_long_kb']):.0f}")
    row(f"RSS growth from ready to end, {results['flood']['short']} / {results['flood']['long']} "
        "key events, largest (kB)", fl,
        lambda f: f"{max(f['rss_growth_short_kb']):+d} / {max(f['rss_growth_long_kb']):+d}")
    row("… of which anonymous (kB)", fl,
        lambda f: f"{max(f['anon_growth_short_kb']):+d} / {max(f['anon_growth_long_kb']):+d}")
    heap = results.get("heap", {})
    row(f"peak heap, massif, {heap.get('keys', '?')} key events (kB, + allocator overhead)",
        heap.get("by", {}), lambda h: f"{h['peak_heap_kb']:.1f} + {h['peak_extra_kb']:.1f}")
    # Start-up and the several-device floods, by number of devices.
    for part, title, cell in (
            ("startup", "start-up to first possible record, {} devices (ms)",
             lambda s: fmt(s["spawn_to_ready_ms"], 1)),
            ("growth", "CPU per key event, {} devices flooding at once (µs)",
             lambda g: fmt(g["best_us"]))):
        by = results.get(part, {}).get("by", {})
        for count in sorted({c for n in by for c in by[n]}, key=int):
            row(title.format(count), {n: by[n][count] for n in by if count in by[n]}, cell)

    table = "| figure | " + " | ".join(cols) + " |\n|---|" + "---|" * len(cols) + "\n" + "\n".join(rows)

    # A verdict is "yes", "no", or, where CPU time cannot tell because the
    # repeats overlap, "within noise" with the exact counts beside it.
    goals = []
    ins_note = lambda a, c: (f"; user-space instructions {ins[a]['total']:.0f} vs {ins[c]['total']:.0f}"  # noqa: E731
                             if a in ins and c in ins else "")
    sc_note = lambda a, c: (f"; system calls {sc[a]['total']:.2f} vs {sc[c]['total']:.2f} "  # noqa: E731
                            f"(writes {sc[a]['write']:.3f} vs {sc[c]['write']:.3f})"
                            if a in sc and c in sc else "")

    def compare(mine, limit_pairs, factor=1.0):
        lo, hi = min(mine), max(mine)
        limit_lo, limit_hi = min(limit_pairs) * factor, max(limit_pairs) * factor
        if hi <= limit_lo:
            return "yes"
        if lo > limit_hi:
            return "no"
        return "within noise"

    b, p, f_ = fl["backend"]["best_us"], fl["peer"]["best_us"], fl["floor"]["best_us"]
    goals.append(("CPU per key event ≤ peer", compare(fl["backend"]["pairs_us"], fl["peer"]["pairs_us"]),
                  f"best backend {b:.2f} µs, peer {p:.2f} µs"
                  + (f", peer line-buffered {fl['peer-lb']['best_us']:.2f} µs" if "peer-lb" in fl else "")
                  + ins_note("backend", "peer") + sc_note("backend", "peer")))
    goals.append(("CPU per key event within 15 % of the floor",
                  compare(fl["backend"]["pairs_us"], fl["floor"]["pairs_us"], 1.15),
                  f"best backend {b:.2f} µs, floor {f_:.2f} µs: {b - f_:+.2f} µs per key event "
                  f"({(b / f_ - 1) * 100:+.0f} %)" + ins_note("backend", "floor") + sc_note("backend", "floor")))
    bi = idle["by"]["backend"]
    goals.append(("zero idle ticks and wake-ups", "yes" if bi["ticks"] == 0 and bi["voluntary"] == 0 else "no",
                  f"{bi['ticks']} ticks, {bi['voluntary']} voluntary switches in {idle['seconds']:g} s"))
    lat1000 = results.get("latency", {}).get("1000", {})
    if lat1000.get("by", {}).get("backend"):
        mine = lat1000["by"]["backend"]
        p99 = mine["read_to_arrival"]["p99"]
        floor_p99 = lat1000["by"].get("floor", {}).get("read_to_dequeue", {}).get("p99")
        own = mine["dequeue_to_write"]["p99"]
        if p99 < 2.0:
            verdict = "yes"
        elif floor_p99 is not None and floor_p99 >= 1.0:
            verdict = "within noise"  # the machine's scheduling, not the program
        else:
            verdict = "no"
        goals.append(("p99 latency < 2 ms at 1000 events/s", verdict,
                      f"p99 {p99:.3f} ms from the device read to the record at the reader "
                      f"({mine['emulated_write_to_arrival']['p99']:.3f} ms from the emulated device's write); "
                      f"the backend's own part (handed over → written) p99 {own:.3f} ms; "
                      + (f"the floor's read → handed over p99 {floor_p99:.3f} ms; " if floor_p99 is not None else "")
                      + f"other processes used {lat1000.get('others_load', 0):.0%} of the CPUs"))
    bh, ph = fl["backend"]["hwm_kb"], fl["peer"]["hwm_kb"]
    ba = statistics.median(fl["backend"]["anon_long_kb"])
    pa = statistics.median(fl["peer"]["anon_long_kb"])
    spread = max(max(fl[n]["hwm_all_kb"]) - min(fl[n]["hwm_all_kb"]) for n in ("backend", "peer"))
    verdict = "yes" if bh <= ph else ("within noise" if bh - ph <= max(spread, 64) else "no")
    goals.append(("peak RSS ≤ peer", verdict,
                  f"VmHWM backend {bh:.0f} kB, peer {ph:.0f} kB (run-to-run spread up to {spread:.0f} kB); "
                  f"anonymous {ba:.0f} and {pa:.0f} kB"))
    short, long = results["flood"]["short"], results["flood"]["long"]
    ags, agl = fl["backend"]["anon_growth_short_kb"], fl["backend"]["anon_growth_long_kb"]
    as_, al = fl["backend"]["anon_short_kb"], fl["backend"]["anon_long_kb"]
    logs_long = fl["backend"].get("log_lines_long", [0] * len(agl))
    two_pages = 2 * PAGE // 1024
    # Anonymous memory (heap, stacks) is what a leak or a growing queue would
    # show in. A run in which libinput logged (it does when processing lags
    # behind, i.e. on a busy machine) touches a few more stack pages once: the
    # C library formats unbuffered standard error through an 8 KiB buffer on
    # the stack. Such runs are shown but do not decide.
    quiet_growth = [g for g, n in zip(agl, logs_long) if n == 0]
    ends_equal = statistics.median(al) - statistics.median(as_) <= two_pages
    met = ends_equal and (max(quiet_growth) <= two_pages if quiet_growth else max(agl) <= two_pages)
    goals.append(("no RSS growth", "yes" if met else "no",
                  f"anonymous memory at the end: {sorted(as_)} kB after {short} key events, {sorted(al)} kB "
                  f"after {long}; growth within the {long}-event runs {agl} kB with {logs_long} lines "
                  f"logged by libinput ({short}-event runs: {ags} kB); whole RSS at the end "
                  f"{sorted(fl['backend']['rss_short_kb'])} vs {sorted(fl['backend']['rss_long_kb'])} kB"))
    return table, goals


def render_markdown(results, names, labels, info, command, elapsed) -> str:
    table, goals = report(results, names, labels)
    lines = [
        f"Produced by `{command}` on {time.strftime('%Y-%m-%d %H:%M %Z')} in {elapsed:.0f} s"
        f" (of which {results.get('waited_for_quiet_s', 0):.0f} s waiting for a quiet machine).",
        "",
        f"Machine: {info['nproc']} CPUs ({info['cpu']}), kernel {info['kernel']}, {info['os']}, "
        f"libinput {info['libinput']}, umockdev {info['umockdev']}, {info['compiler']}.",
        "",
        table,
        "",
        "| goal | met | figures |",
        "|---|---|---|",
    ]
    for title, verdict, detail in goals:
        lines.append(f"| {title} | {'**no**' if verdict == 'no' else verdict} | {detail} |")
    fl = results["flood"]
    lines += [
        "",
        f"Flood: {fl['short']} and {fl['long']} key events in rounds of 24, {fl['repeats']} repeats, "
        "interleaved; CPU of the whole process from wait4(); per key event = (long − short) / "
        "difference in key events; best = difference of the best runs, spread = per-repeat pairs. "
        f"Other processes kept {fl['others_load']:.0%} of the CPUs busy meanwhile"
        + (f" ({results['growth']['others_load']:.0%} during the several-device floods)."
           if "growth" in results else "."),
    ]
    lat_parts = [f"{lat['keys']} key events at {lat['rate']:g}/s (other processes: "
                 f"{lat.get('others_load', 0):.0%} of the CPUs)"
                 for _, lat in sorted(results.get("latency", {}).items(), key=lambda kv: float(kv[0]))]
    if lat_parts:
        lines += ["", "Latency: " + " and ".join(lat_parts) + " per program, p99 by nearest rank."]
    if "instructions" in results:
        i_ = results["instructions"]
        lines += ["", f"Instructions: valgrind callgrind, floods of {i_['short']} and {i_['long']} key "
                  "events, difference per key event; deterministic, unlike CPU time."]
    if "syscalls" in results:
        y = results["syscalls"]
        lines += ["", f"System calls: strace -c -f, floods of {y['short']} and {y['long']} key events, "
                  "difference per key event."]
    if "startup" in results:
        lines += ["", f"Start-up: median of {results['startup']['repeats']} starts, from spawning the "
                  "process to its main thread's first poll() without time-out."]
    return "\n".join(lines) + "\n"


def write_docs(path: pathlib.Path, block: str):
    """Replaces the results between the two markers, leaving the rest of the
    document (method, findings) as written."""
    begin, end = "<!-- bench results: begin -->", "<!-- bench results: end -->"
    text = path.read_text() if path.exists() else f"# Performance\n\n{begin}\n{end}\n"
    if begin not in text:
        text += f"\n{begin}\n{end}\n"
    head, rest = text.split(begin, 1)
    _, tail = rest.split(end, 1)
    path.write_text(f"{head}{begin}\n{block}{end}{tail}")


# --- the modes ---------------------------------------------------------------------

# The key changes bench/replay writes into each device, in turn: every letter
# from a to z pressed and released (see replay.c).
REPLAY_LETTERS = [devices.CHAR_KEYS[ch] for ch in "abcdefghijklmnopqrstuvwxyz"]


def replayed_changes(keys: int) -> list[tuple[int, int]]:
    """(key_code, state_code) of the first `keys` key events of one device."""
    return [(REPLAY_LETTERS[k // 2 % len(REPLAY_LETTERS)], 1 - k % 2) for k in range(keys)]


def smoke(bench: Bench) -> int:
    """Runs in a few seconds and checks only records: every key event
    replayed must come out as exactly one record, whole and laid out as the
    frontend expects, in the order of its device, and the backend must stop
    with status 0 on the stop command."""
    prog = bench.progs["backend"]
    cases = ((3000, None, 1), (2000, None, 2), (200, 1000.0, 1))
    failed = 0
    with emulated(keyboards=2, mice=1) as bed:
        for keys, rate, count in cases:
            problems = []
            res = bench.run(bed, prog, keys, devices=count, rate=rate, reader_log=True,
                            on_stall=lambda e: problems.append(str(e)))
            what = f"{keys} key events on {count} device(s) " + (f"at {rate:g}/s" if rate else "as a flood")
            if res.status != 0:
                problems.append(f"exit status {res.status}")
            if res.records != keys or len(res.reader_log) != keys:
                problems.append(f"{res.records} records")
            changes, bad = [], 0
            for _, text in res.reader_log:
                try:
                    record = parse_record(text + "\n")
                    changes.append((record["key_code"], record["state_code"]))
                except (AssertionError, ValueError):
                    bad += 1
            if bad:
                problems.append(f"{bad} malformed records")
            # The devices' streams interleave as they please; each one's own
            # order shows only when there is one.
            expected = [c for n in range(count) for c in replayed_changes(keys // count + (n < keys % count))]
            if not bad and (changes != expected if count == 1 else sorted(changes) != sorted(expected)):
                problems.append("records other than the key events replayed"
                                + (", or out of order" if count == 1 else ""))
            print(f"smoke: {what}: {res.records} records, status {res.status}"
                  + (" — FAILED: " + ", ".join(problems) if problems else " — ok"), flush=True)
            failed += bool(problems)
    print(f"{len(cases) - failed} passed, {failed} failed", flush=True)
    return 1 if failed else 0


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--tools", required=True,
                    help="the file bench/meson.build writes into the build: bench/tools")
    ap.add_argument("--smoke", action="store_true")
    ap.add_argument("--profile", action="store_true")
    ap.add_argument("--quick", action="store_true", help="smaller counts, for trying the driver out")
    ap.add_argument("--docs", help="docs/performance.md to update")
    ap.add_argument("--json", help="write the raw results here")
    ap.add_argument("--command", default="bench/run")
    ap.add_argument("--only", default="", help="comma-separated parts: flood,latency,idle,startup,heap,instructions,syscalls,growth")
    args = ap.parse_args()

    # Precise sleeps for this process and the threads umockdev starts from it.
    ctypes.CDLL(None).prctl(29, 1, 0, 0, 0)  # PR_SET_TIMERSLACK

    tools = Tools.read(args.tools)
    progs = programs(tools)
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="tapolux-bench-") as tmp:
        # Up to two minutes in all of waiting for a quiet machine (see wait_quiet).
        budget = 0.0 if (args.smoke or args.quick or args.profile) else 120.0
        bench = Bench(args, tools, progs, pathlib.Path(tmp), quiet_budget=budget)
        if args.smoke:
            return smoke(bench)
        if args.profile:
            return profile(bench)
        q = args.quick
        names = ["backend", "peer", "peer-lb", "floor"]
        three = ["backend", "peer", "floor"]
        labels = {n: progs[n].label for n in names}
        only = set(filter(None, args.only.split(",")))
        want = lambda part: not only or part in only  # noqa: E731
        log = bench.log
        if want("flood"):
            log("flood: CPU per key event")
            bench.flood_cpu(names, short=2000 if q else 20000, long=20000 if q else 200000,
                            repeats=2 if q else 3)
        if want("latency"):
            log("latency")
            bench.latency(names, rate=20.0, keys=40 if q else 200)
            bench.latency(names, rate=1000.0, keys=500 if q else 3000)
        if want("idle"):
            log("idle")
            bench.idle(three, seconds=3.0 if q else 10.0)
        if want("startup"):
            log("start-up")
            bench.startup(three, [2, 20], repeats=2 if q else 5)
        if want("heap"):
            log("heap (valgrind massif)")
            bench.heap(three, keys=500 if q else 5000)
        if want("instructions"):
            log("instructions per key event (valgrind callgrind)")
            bench.instructions(names, short=500 if q else 1200, long=2000 if q else 6000)
        if want("syscalls"):
            log("system calls per key event (strace -c)")
            bench.syscalls(names, short=480 if q else 1200, long=1200 if q else 6000)
        if want("growth"):
            log("several devices at once")
            bench.growth(three, [1, 4, 16], short=2000 if q else 8000, long=10000 if q else 48000,
                         repeats=1 if q else 2)
        elapsed = time.monotonic() - started
        results = bench.results
        info = machine()
        results["waited_for_quiet_s"] = bench.waited
        raw = {"machine": info, "command": args.command, "elapsed_s": elapsed, "results": results}
        if args.json:
            pathlib.Path(args.json).write_text(json.dumps(raw, indent=1, default=str) + "\n")
        if not only:
            block = render_markdown(results, names, labels, info, args.command, elapsed)
            print(block)
            if args.docs:
                write_docs(pathlib.Path(args.docs), block)
        else:
            print(json.dumps(results, indent=1, default=str))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (BenchError, Unavailable) as e:
        print(f"bench: {e}", file=sys.stderr)
        sys.exit(1)
