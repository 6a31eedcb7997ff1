# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""The measurements: one method per part of the results table, each storing its figures in results[part]."""

# A new measurement: a method here that runs the programs through the
# Runner (running.py), reads its figures with the measure_*.py module of its
# kind (or a new one), and stores them in self.results under a part name of
# its own; a call in bench.py's main(), with that name for --only; and its
# rows, and a goal if it has one, in report.py.

from __future__ import annotations

import os
import pathlib
import statistics
import time
from typing import Callable

from measure_calls import call_counts, strace_c
from measure_probe import latencies
from measure_proc import LoadTally, proc_switches, proc_ticks
from measure_valgrind import callgrind_objects, massif_peak, object_group, valgrind
from running import Bed, Program, Result, Runner, Session, checked, emulated, emulated_laptop

from emulation import hardware


def per_key_us(short_runs: list[Result], long_runs: list[Result], delta: int,
               value: Callable[[Result], float] = lambda r: r.cpu) -> tuple[float, list[float]]:
    """CPU per key event in µs from floods of two lengths `delta` key events
    apart: the difference of the best runs, and that of each repeat's pair."""
    best = (min(map(value, long_runs)) - min(map(value, short_runs))) / delta * 1e6
    pairs = [(value(b) - value(a)) / delta * 1e6 for a, b in zip(short_runs, long_runs)]
    return best, pairs



class Bench(Runner):
    """The parts of the benchmark, in the order of the results table."""

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
                out[n] = latencies(res, replay_log, keys, rate)
                summary = out[n].get("read_to_arrival") or out[n]["read_to_dequeue"]
                self.log(f"  latency {n:8} at {rate:g}/s: median {summary['median']:.3f} ms "
                         f"p99 {summary['p99']:.3f} ms max {summary['max']:.3f} ms")
        self.results.setdefault("latency", {})[str(int(rate))] = {"rate": rate, "keys": keys, "by": out,
                                                                  "others_load": load.share()}

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

    # 3b. idle cost with a touchpad, whose taps, scrolling and palm
    # detection run on libinput's timers: none may fire once nothing moves.
    def idle_touchpad(self, seconds: float):
        with emulated_laptop() as (bed, testbed, laptop):
            s = Session(self.tools, self.progs["backend"], bed, self.workdir)
            try:
                s.wait_ready()
                centre = (0.5, 0.5)
                hardware.play(testbed, {laptop.clickpad: hardware.merged(
                    hardware.hold(laptop.clickpad, [centre], 0, 40_000),
                    hardware.swipe(laptop.clickpad, [(0.4, 0.4), (0.6, 0.4)], (0.0, 0.3),
                                   300_000, 600_000),
                    hardware.click(hardware.BTN_LEFT, 1_000_000, 80_000))})
                time.sleep(2.0)  # past every timer the gestures started
                t0, (v0, i0) = proc_ticks(s.pid), proc_switches(s.pid)
                time.sleep(seconds)
                t1, (v1, i1) = proc_ticks(s.pid), proc_switches(s.pid)
                checked(s.stop(), 0)
            finally:
                s.kill()
        out = {"ticks": t1 - t0, "voluntary": v1 - v0, "involuntary": i1 - i0}
        self.log(f"  idle with a touchpad: {out}")
        self.results["idle_touchpad"] = {"seconds": seconds, "by": {"backend": out}}

    # 4a. start-up time
    def startup(self, names, device_counts, repeats: int):
        out = {}
        for count in device_counts:
            keyboards = count // 2
            with emulated(keyboards=keyboards, mice=count - keyboards) as bed:
                for n in names:
                    spawn_to_ready, exec_to_ready, cpu, contained = [], [], [], []
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
                        # Between the seat's opening and the listener's start
                        # the backend gives up what it no longer needs.
                        if h.get("seat_ns") and h.get("thread_ns"):
                            contained.append((h["thread_ns"] - h["seat_ns"]) / 1e6)
                    out.setdefault(n, {})[str(count)] = {
                        "containment_ms": statistics.median(contained) if contained else None,
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
                peaks = [massif_peak(p) for p in self.workdir.glob(f"{stem.name}.*")]
                out[n] = max(peaks, key=lambda p: p["peak_heap_kb"] + p["peak_extra_kb"])
                self.log(f"  heap {n:8}: {out[n]['peak_heap_kb']:.1f} kB "
                         f"+ {out[n]['peak_extra_kb']:.1f} kB allocator overhead")
        self.results["heap"] = {"keys": keys, "by": out}

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
                                          lambda files: max(map(callgrind_objects, files),
                                                            key=lambda d: sum(d.values())))
                groups = {}
                for obj, per_key in per_object.items():
                    group = object_group(obj)
                    groups[group] = groups.get(group, 0) + per_key
                out[n] = {"total": sum(groups.values()), "by_object": groups}
                top = ", ".join(f"{k} {v:.0f}" for k, v in sorted(groups.items(), key=lambda kv: -kv[1])[:5])
                self.log(f"  instructions {n:8}: {out[n]['total']:.0f} per key event ({top})")
        self.results["instructions"] = {"short": short, "long": long, "by": out}

    # system calls per key event (strace -c)
    def syscalls(self, names, short: int, long: int):
        out = {}
        with emulated(keyboards=1, mice=1) as bed:
            for n in names:
                # strace -f writes one table for the process and its children.
                per_key = self.counted(bed, self.progs[n], short, long, "strace", strace_c,
                                       lambda files: call_counts(files[0]))
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
