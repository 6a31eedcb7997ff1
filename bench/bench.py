#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""The benchmark driver: runs the backend, the peer (libinput debug-events)
and the floor (bench/floor.c) on the same emulated devices, one after the
other, and reports CPU per key event, latency, idle cost, memory and start-up
time. Started by bench/run under umockdev-wrapper; see docs/performance.md
for what each figure means and how it is taken.

Here: the options, the order of the measurements, and the short modes
(--smoke, --profile). The rest, by concern:
- running.py: the programs, the test bed, one run of a program, the Runner;
- parts.py: the measurements, one method per part of the table (where a
  new measurement goes);
- measure_proc.py, measure_probe.py, measure_valgrind.py, measure_calls.py:
  reading the figures of each kind (/proc, the probe's log, callgrind and
  massif, strace and ltrace);
- report.py: the results table, the goals and their verdicts,
  docs/performance.md (where a new row or goal goes);
- tools.py: what bench/meson.build built.
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import pathlib
import sys
import tempfile
import time

from measure_calls import LTRACE_ROW, call_counts, ltrace_c, strace_c
from measure_valgrind import callgrind_lines, valgrind
from parts import Bench
from report import machine, render_markdown, write_docs
from running import emulated, programs
from tools import BenchError, Tools

from emulation import Unavailable, devices, parse_record

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
            for name, calls in call_counts(pathlib.Path(f"{stem}.txt")).items():
                if calls >= keys // 100:
                    print(f"{calls / keys:8.3f}  {name}")
        small = max(keys // 6, 480)
        trace = work / "ltrace-backend.txt"
        bench.run_flood(bed, bench.progs["backend"], small, wrapper=ltrace_c(trace))
        print(f"== ltrace -c, backend, {small} key events: library calls per key event")
        for name, calls in call_counts(trace, LTRACE_ROW).items():
            if calls >= small // 10:
                print(f"{calls / small:8.3f}  {name}")
    return 0


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
        # valgrind's tools write their files as the process they run in, and
        # a backend started as root is nobody by the time it ends.
        os.chmod(tmp, 0o1777)
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
        # The parts, in turn, with their counts (full, --quick). A new
        # measurement is a method of Bench (parts.py) called here under a
        # part name of its own, which --only then takes too.
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
            log("idle with a touchpad")
            bench.idle_touchpad(seconds=3.0 if q else 10.0)
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
