# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""The stop command under load, run after run.

Two keyboards pour out thousands of keys each while the frontend reads; the
stop command comes at a different moment every run: before the first record,
a varied time after it, or after a varied number of records. Every run must
end with status 0, and every byte on standard output must belong to a whole
record, with each keyboard's records in order and none lost or doubled
before the stop. A stop that raced the main thread (the libraries released,
or the process ended, from the listener's thread) would sooner or later tear
a record, double one, or crash; ThreadSanitizer cannot see most of that, as
libinput and stdio are not instrumented, so only many runs catch it.

TAPOLUX_STRESS_RUNS sets the number of runs (40 by default).
"""

from __future__ import annotations

import os
import random
import statistics
import subprocess
import time

import pytest

from emulation import START_US, STOP, changes_of, devices, key_changes, parse_output

pytestmark = pytest.mark.stress

RUNS = int(os.environ.get("TAPOLUX_STRESS_RUNS", "40"))

# The goal is a second or two from the command to the exit, on a loaded
# machine and in a sanitizer build too; a run fails only far beyond that.
STOP_BOUND_S = 10.0

# Disjoint key sets, so that each record tells which keyboard it came from.
KEYBOARD_KEYS = (
    devices.LETTER_KEYS,
    list(range(59, 84)),  # F1 to F10, the lock keys and the keypad
)
TAPS = 1500  # per keyboard: 3000 key events, 9000 evdev events

# Fast, but each keyboard still delivers every key: at this step a stop that
# released the contexts and exited from the listener's thread failed about a
# quarter of the runs; at 1 ms, a tenth. (The test bed's preloaded helper
# keeps the emulated nodes from handing libevdev part of an event, which
# used to make libinput drop a keyboard under such a flood.) A run whose stop
# comes early simply sees fewer records; the summary says in how many runs
# both keyboards reported.
STEP_US = 300

# How long a quiet stream counts as the end of the keys, so that a run waiting
# for a number of records does not wait for ever if the keys ended before.
QUIET_S = 1.0


def moment(run: int) -> tuple[str, float]:
    """When run `run` sends the command: ("start", seconds after the backend
    has its devices open, mostly before the first record; the replay begins
    with a lead-in of 0.3 s), ("first", seconds after the first record), or
    ("records", the number of records read first)."""
    rng = random.Random(run)
    kind = ("start", "first", "records")[run % 3]
    if kind == "records":
        return kind, rng.choice([1, 2, 10, rng.randrange(1, TAPS)])
    # The first run of each kind sends it at once.
    return kind, 0.0 if run < 3 else round(rng.uniform(0.0, 0.3), 3)


def moment_id(run: int) -> str:
    kind, value = moment(run)
    what = {"start": f"{value * 1000:.0f}ms-after-start",
            "first": f"{value * 1000:.0f}ms-after-first-record",
            "records": f"after-{value}-records"}[kind]
    return f"run{run:02d}-{what}"


@pytest.fixture(scope="module")
def stress_log(request):
    """Gathers every run's figures and prints them when the runs are done."""
    log: list[dict] = []
    started = time.monotonic()
    yield log
    took = time.monotonic() - started
    if not log:
        return
    exits = [entry["stop_to_exit"] for entry in log]
    # Past the output capture, which would keep it to itself unless a test failed.
    with request.config.pluginmanager.get_plugin("capturemanager").global_and_fixture_disabled():
        print(f"\nstress: {len(log)} of {RUNS} runs passed in {took:.1f} s; command to exit: "
              f"max {max(exits) * 1000:.0f} ms, median {statistics.median(exits) * 1000:.0f} ms; "
              f"{sum(entry['before_first'] for entry in log)} stopped before the first record, "
              f"{sum(entry['keys_flowing'] for entry in log)} while records were arriving; "
              f"both keyboards reported in {sum(entry['both_reported'] for entry in log)}")


@pytest.mark.parametrize("run", range(RUNS), ids=moment_id)
def test_stop_under_load(testbed, start_backend, stress_log, run):
    replays = []
    for number, keys in enumerate(KEYBOARD_KEYS):
        events = devices.taps([keys[i % len(keys)] for i in range(TAPS)], START_US,
                              step_us=STEP_US)
        replays.append(key_changes(events))
        testbed.add(devices.keyboard(number), events)
    backend = start_backend()
    # As the frontend does: all the time, so that the backend never blocks
    # on a full pipe.
    backend.read_in_background()

    kind, value = moment(run)
    if kind == "start":
        time.sleep(value)
    elif kind == "first":
        backend.wait_for_records(1, QUIET_S)
        time.sleep(value)
    else:
        backend.wait_for_records(value, QUIET_S)
    before_first = backend.records_read == 0
    last_arrival = backend.last_arrival
    sent = time.monotonic()
    backend.send(STOP)
    try:
        backend.proc.wait(STOP_BOUND_S)
    except subprocess.TimeoutExpired:
        pytest.fail(f"still running {STOP_BOUND_S} s after the stop command; "
                    f"{backend.records_read} records so far, stderr:\n{backend.stderr}",
                    pytrace=False)
    stop_to_exit = time.monotonic() - sent
    records = parse_output(backend.rest_bytes())
    assert backend.wait() == 0, f"exit status {backend.proc.returncode}, stderr:\n{backend.stderr}"

    reporting = 0
    for number, (keys, replay) in enumerate(zip(KEYBOARD_KEYS, replays)):
        written = [change for change in changes_of(records) if change[0] in keys]
        if written != replay[:len(written)]:
            at = next(i for i, (got, due) in enumerate(zip(written, replay)) if got != due)
            pytest.fail(f"keyboard {number}: record {at} of {len(written)} is not its key "
                        f"change (code, state, time stamp): wrote {written[max(at - 2, 0):at + 3]}, "
                        f"keys were {replay[max(at - 2, 0):at + 3]}", pytrace=False)
        reporting += bool(written)
    stress_log.append({
        "stop_to_exit": stop_to_exit,
        "before_first": before_first,
        "both_reported": reporting == len(KEYBOARD_KEYS),
        # Only for the summary: a record within the last 50 ms before the
        # command, and keys still to come.
        "keys_flowing": (last_arrival is not None and sent - last_arrival < 0.05
                         and len(records) < sum(map(len, replays))),
    })
