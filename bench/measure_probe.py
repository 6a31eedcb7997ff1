# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Measurements from the probe's log (bench/probe.c): when frames were read, events handed over and records written, and the latencies between them."""

from __future__ import annotations

import json
import mmap
import os
import pathlib
import statistics
import struct

from tools import BenchError

# Layout of the probe's shared file (bench/probe.h).
HEADER_FIELDS = ("magic", "capacity", "pid", "started_ns", "first_poll_ns", "input_bytes",
                 "frames", "keys", "writes", "entries", "reads", "seat_ns", "thread_ns")
HEADER = struct.Struct(f"<{len(HEADER_FIELDS)}Q")
HEADER_SIZE = 16 * 8
PROBE_DEVICES = 64
LOG_OFFSET = HEADER_SIZE + PROBE_DEVICES * 8
ENTRY = struct.Struct("<QQQ")
PROBE_MAGIC = 0x65626F7270786C74
FRAME, KEY, WRITE = 1, 2, 3


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


def stats(values_ns):
    ms = sorted(v / 1e6 for v in values_ns)
    if not ms:
        return None
    p99 = ms[min(len(ms) - 1, int(round(0.99 * (len(ms) - 1))))]
    return {"median": statistics.median(ms), "p99": p99, "max": ms[-1], "n": len(ms)}


def latencies(res, replay_log: pathlib.Path, keys: int, rate: float):
    """The latencies of one paced run (a Result with the probe's entries and
    the reader's log), from the replay's log of when it wrote each frame."""
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
        "pty_hop": stats(d_read),
        "read_to_dequeue": stats(d_deq),
        "dequeue_to_write": stats(d_write),
        "write_to_arrival": stats(d_arrive),
        "read_to_arrival": stats(d_total),
        "emulated_write_to_arrival": stats(d_emul),
        "replay_lateness_max_ms": max(lateness) / 1e6,
        "replay_lateness_min_ms": min(lateness) / 1e6,
    }
