# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Fixtures that run the real backend against input devices emulated by umockdev.

pytest itself must run under umockdev-wrapper: the test process drives the
test bed (ioctl answers, event replay, uevents) through libumockdev, and a
uevent for a hot-plugged device only reaches the backend from a preloaded
process. `meson test --suite emulated` does all that; by hand:

    TAPOLUX_BACKEND=build/tapolux-backend \
    TAPOLUX_PRELOAD=build/tests/preload/umockdev_fixes.so \
    TAPOLUX_FAIL_PRELOAD=build/tests/preload/fail_init.so \
    umockdev-wrapper /usr/bin/python3 -m pytest tests/emulated

The API in short:

- `testbed`: a TestBed. `testbed.add(device, events)` adds a device made by
  devices.py (keyboard(n), mouse(n): /dev/input/event<n>) and the events it
  replays; the replay starts only once a backend has the device open.
  `testbed.plug(device, events)` adds one while a backend runs: umockdev
  sends the "add" uevent. `testbed.lock(device)` lets only root open a node.
- `start_backend(fail=None, as_nobody=False, args=(), stdin=b"")`: starts
  the backend on the test bed, starts the replays of the devices it opens, and
  returns a Backend; `stdin` is already waiting in its standard input when it
  starts. Every backend still running at the end of the test is killed.
- Backend: `read_records(n)` / `read_lines(n)` wait for the next n records,
  decoded or as written; `send(data)` writes to its standard input;
  `input_taken()` waits until the backend has read all of it; `close_stdin()`
  ends its input; `close_stdout()` walks away as a reader; `wait()` gives the exit status
  (negative: the signal); `terminate()` (SIGTERM) and `stop()` (the stop
  command) end it and return the records not yet read; `rest()` returns
  those once it has ended by itself, `rest_bytes()` the same unparsed, to the
  last byte; `stderr` is its standard error so far. A sanitizer report on
  standard error fails the test as soon as the backend is seen to have ended
  (wait, rest, stop, terminate, or the clean-up after the test).
- `parse_records(lines)`: every line read from the backend's standard output
  passes through here, so a check that applies to every record belongs there.
  `parse_output(data)` does the same for output read raw to its end, and
  checks that it ends with a whole record.
"""

from __future__ import annotations

import fcntl
import gc
import json
import os
import select
import shutil
import signal
import struct
import subprocess
import termios
import threading
import time
from pathlib import Path
from typing import Iterable, Sequence

import jsonschema
import pytest

import devices

try:
    import gi

    gi.require_version("UMockdev", "1.0")
    from gi.repository import UMockdev
except (ImportError, ValueError) as error:  # a machine without gir1.2-umockdev-1.0
    UMockdev = None
    UMOCKDEV_MISSING = f"UMockdev introspection data not found ({error})"

IN_CI = os.environ.get("CI") == "true"

# Upper bounds for things that take well under a second on an idle machine;
# they only decide how long a failing test waits, so they are generous.
RECORD_TIMEOUT = 30.0
EXIT_TIMEOUT = 30.0

NOBODY = 65534
UMOCKDEV_PRELOAD = "libumockdev-preload.so.0"

# What AddressSanitizer, LeakSanitizer, ThreadSanitizer and
# UndefinedBehaviorSanitizer put in every report. A report must fail the
# test even where the exit status goes unchecked, or where the sanitizer is
# not told to halt and the run goes on as if nothing had happened.
SANITIZER_MARKS = ("AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:")


# --- skipping is for developers' machines only -----------------------------

def missing(what: str) -> None:
    """A tool or permission this test needs is not there: skip, but fail in CI."""
    if IN_CI:
        pytest.fail(f"{what}; CI must run every test", pytrace=False)
    pytest.skip(what)


def pytest_configure(config: pytest.Config) -> None:
    if UMOCKDEV_PRELOAD not in os.environ.get("LD_PRELOAD", ""):
        raise pytest.UsageError(
            "these tests must run under umockdev-wrapper: "
            "umockdev-wrapper /usr/bin/python3 -m pytest tests/emulated (see conftest.py)")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """In CI a skip, whatever its cause, is a failure."""
    outcome = yield
    report = outcome.get_result()
    if IN_CI and report.skipped and not hasattr(report, "wasxfail"):
        report.outcome = "failed"
        report.longrepr = f"skipped in CI, where every test must run: {report.longrepr}"


def required_path(variable: str) -> str:
    path = os.environ.get(variable)
    if not path:
        missing(f"{variable} is not set (run through `meson test --suite emulated`)")
    elif not os.path.exists(path):
        missing(f"{variable}={path} does not exist (build first)")
    return path


# --- the records ------------------------------------------------------------

SCHEMA_PATH = Path(__file__).resolve().parents[2] / "docs" / "event-record.schema.json"
RECORD_VALIDATOR = jsonschema.Draft202012Validator(json.loads(SCHEMA_PATH.read_text()))

# What the schema cannot say: the members in this order, one blank after each
# colon and comma, nothing inside the braces, nothing after the newline.
RECORD_LAYOUT = ('{{"event_name": "{event_name}", "event_type": {event_type}, '
                 '"time_stamp": {time_stamp}, "key_name": "{key_name}", '
                 '"key_code": {key_code}, "state_name": "{state_name}", '
                 '"state_code": {state_code}}}\n')


def parse_record(line: str) -> dict:
    """Check one line against the published schema and the exact layout."""
    assert line.endswith("\n") and "\n" not in line[:-1], f"not one whole line: {line!r}"
    record = json.loads(line)
    assert isinstance(record, dict), f"not a JSON object: {line!r}"
    errors = [error.message for error in RECORD_VALIDATOR.iter_errors(record)]
    assert not errors, f"{line!r} breaks the record schema: {errors}"
    assert line == RECORD_LAYOUT.format(**record), f"not laid out as a record: {line!r}"
    return record


def parse_records(lines: Iterable[str]) -> list[dict]:
    """Check and decode lines read from the backend's standard output.

    Every line a test reads from the backend comes through here: each must be
    one whole record, valid under docs/event-record.schema.json and laid out
    byte for byte as the frontend expects, since the frontend reads the stream
    line by line and anything else would break it.
    """
    return [parse_record(line) for line in lines]


def parse_output(data: bytes) -> list[dict]:
    """Check and decode standard output read raw, up to its end: every line a
    complete record, and not a byte after the last newline, which a frontend
    would otherwise take for the start of a record that never comes."""
    assert not data or data.endswith(b"\n"), f"output ends inside a record: {data[-300:]!r}"
    return parse_records(line + "\n" for line in data.decode().split("\n")[:-1])


# --- the test bed -------------------------------------------------------------

class TestBed:
    """A umockdev test bed with the files libudev and libinput need per device.

    Only this wrapper holds the UMockdev.Testbed, so that close() really
    destroys it: two test beds alive in one process would fight over
    UMOCKDEV_DIR, which each one sets and unsets in the environment.

    umockdev starts replaying a device's events the moment they are loaded,
    whether or not anyone has the device open, and libinput discards what is
    queued on a device when it adds it. So the events given to add() wait
    until a backend holds the device open (see replay_when_opened).
    """

    __test__ = False  # not a test class, whatever its name says

    def __init__(self) -> None:
        if UMockdev is None:
            missing(UMOCKDEV_MISSING)
        self._bed = UMockdev.Testbed.new()
        self.root = Path(self._bed.get_root_dir())
        # libudev only passes uevents on to a monitor when udev looks alive
        # (or /dev is a devtmpfs, which a container's /dev may not be).
        control = self.root / "run/udev/control"
        control.parent.mkdir(parents=True)
        control.touch()
        self.devices: list[devices.Device] = []
        self.backends: list[Backend] = []  # started on this test bed, for plug()
        self._pending: dict[str, Sequence[devices.Event]] = {}
        self._replaying: list[devices.Device] = []
        self._locked: set[str] = set()
        self._shared = False

    def add(self, device: devices.Device,
            events: Sequence[devices.Event] = ()) -> devices.Device:
        """Add a device that will replay `events` once a backend opens it.

        The udev database entry and the ioctl answers come first: umockdev
        announces the device with an "add" uevent as soon as it appears.
        """
        db = self.root / "run/udev/data" / device.udev_db_name()
        db.parent.mkdir(exist_ok=True)
        db.write_text(device.udev_db_text())
        ioctl = self._fixture(f"event{device.number}.ioctl", device.ioctl_text())
        self._bed.load_ioctl(device.devnode, str(ioctl))
        self._bed.add_from_string(device.sysfs_text())
        self.devices.append(device)
        if events:
            self._pending[device.devnode] = events
        if self._shared:
            self.open_to_others()
        return device

    def plug(self, device: devices.Device,
             events: Sequence[devices.Event] = ()) -> devices.Device:
        """Add a device while backends run, and start its replay once they opened it."""
        running = [backend for backend in self.backends if backend.proc.poll() is None]
        assert running, "plug() is for a running backend; use add() before starting it"
        self.add(device, events)
        if self._shared:
            # The uevent that came with the device may have found its node
            # still closed to other users; tell them again now that it is open.
            self._bed.uevent(device.syspath, "add")
        for backend in running:
            self.replay_when_opened(backend, [device])
        return device

    def replay_when_opened(self, backend: Backend, expected: Iterable[devices.Device],
                           timeout: float = RECORD_TIMEOUT) -> None:
        """Start the replay of each expected device as soon as `backend` has
        its node open. Returns early, without replaying, if the backend ends."""
        waiting = {os.readlink(self._node(device)): device for device in expected
                   if device.devnode in self._pending}
        deadline = time.monotonic() + timeout
        while waiting:
            for target in backend.open_files() & waiting.keys():
                self._replay(waiting.pop(target))
            if not waiting or backend.proc.poll() is not None:
                return
            if time.monotonic() > deadline:
                raise AssertionError(
                    f"the backend did not open {sorted(d.devnode for d in waiting.values())} "
                    f"within {timeout} s; stderr:\n{backend.stderr}")
            time.sleep(0.005)

    def _replay(self, device: devices.Device) -> None:
        events = self._pending.pop(device.devnode)
        evemu = self._fixture(f"event{device.number}.evemu", devices.evemu_text(events))
        self._bed.load_evemu_events(device.devnode, str(evemu))
        self._replaying.append(device)

    def _fixture(self, name: str, text: str) -> Path:
        path = self.root / "fixtures" / name
        path.parent.mkdir(exist_ok=True)
        path.write_text(text)
        return path

    def _node(self, device: devices.Device) -> Path:
        # umockdev makes the node a symbolic link to a pseudo-terminal of its
        # own, which lives as long as the test bed; its mode decides who may
        # open the node, and os.chmod follows the link to it.
        return self.root / device.devnode.lstrip("/")

    def lock(self, device: devices.Device) -> None:
        """Let only root open the device node."""
        self._locked.add(device.devnode)
        os.chmod(self._node(device), 0o600)

    def is_locked(self, device: devices.Device) -> bool:
        return device.devnode in self._locked

    def open_to_others(self) -> None:
        """Let another user run the backend on this test bed; devices added
        later are opened to them too.

        Everything becomes readable and every node but the locked ones
        openable. The root folder must be writable, since the emulated netlink
        socket of the backend's udev monitor is created there, and the ioctl
        sockets connectable: umockdev's library connects to a device's ioctl
        socket even when opening the node itself failed, and ends the process
        if it cannot.
        """
        self._shared = True
        os.chmod(self.root, 0o777)
        for folder, dirs, files in os.walk(self.root):
            for name in dirs:
                os.chmod(Path(folder) / name, 0o755)
            for name in files:
                path = Path(folder) / name
                if not path.is_symlink():
                    os.chmod(path, 0o666 if path.is_socket() else 0o644)
        for device in self.devices:
            if not self.is_locked(device):
                os.chmod(self._node(device), 0o666)

    def close(self) -> None:
        """Destroy the test bed.

        Destroying it waits for every replay to finish its current event, and
        a replay whose reader has gone blocks once the pseudo-terminal's
        buffer is full; so the nodes are read empty until it is gone.
        """
        root = self.root
        done = threading.Event()
        drains = [threading.Thread(target=_drain, args=(os.readlink(self._node(device)), done),
                                   daemon=True)
                  for device in self._replaying]
        for drain in drains:
            drain.start()
        self._bed = None
        gc.collect()
        done.set()
        for drain in drains:
            drain.join()
        assert not root.exists(), f"test bed {root} outlived its test"


def _drain(node: str, done: threading.Event) -> None:
    fd = os.open(node, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        while not done.is_set():
            if select.select([fd], [], [], 0.05)[0]:
                try:
                    os.read(fd, 65536)
                except BlockingIOError:
                    pass
                except OSError:
                    return  # the test bed has closed the terminal
    finally:
        os.close(fd)


@pytest.fixture
def testbed():
    bed = TestBed()
    yield bed
    bed.close()


# --- the backend -------------------------------------------------------------

class Backend:
    """The backend running on a test bed, with pipes on all three streams."""

    def __init__(self, command: list[str], env: dict[str, str], stdin: bytes = b"") -> None:
        # The input is a pipe of ours either way; what is given here is in it
        # before the backend runs, as when the frontend writes before it starts.
        read_end, write_end = os.pipe()
        if stdin:
            assert len(stdin) <= select.PIPE_BUF, "more than a pipe takes without a reader"
            os.write(write_end, stdin)
        try:
            self.proc = subprocess.Popen(command, env=env, stdin=read_end,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        finally:
            os.close(read_end)
        self.proc.stdin = open(write_end, "wb")
        self._out = b""
        self._sanitizers_checked = False
        self._err: list[bytes] = []
        # stderr is drained all the time, so that libinput's chatter can never
        # fill the pipe and block the backend; stdout is read only when asked.
        self._err_thread = threading.Thread(target=self._drain_stderr, daemon=True)
        self._err_thread.start()

    def open_files(self) -> set[str]:
        """What the backend's open descriptors point to."""
        fd_dir = f"/proc/{self.proc.pid}/fd"
        targets = set()
        try:
            for fd in os.listdir(fd_dir):
                targets.add(os.readlink(f"{fd_dir}/{fd}"))
        except OSError:
            pass  # a descriptor closed while we looked, or the process ended
        return targets

    def _drain_stderr(self) -> None:
        for chunk in iter(lambda: self.proc.stderr.read1(65536), b""):
            self._err.append(chunk)

    @property
    def stderr(self) -> str:
        """Standard error so far; complete once the backend has ended."""
        return b"".join(self._err).decode(errors="replace")

    def _take_lines(self, count: int, timeout: float) -> list[str]:
        """The next `count` lines of stdout."""
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        have = self._out.count(b"\n")
        while have < count:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise AssertionError(
                    f"waited {timeout} s for {count} record(s), got {self._out!r}; "
                    f"exit status {self.proc.poll()}, stderr:\n{self.stderr}")
            chunk = os.read(fd, 65536)
            if not chunk:
                raise AssertionError(
                    f"stdout ended after {self._out!r} while {count} record(s) were due; "
                    f"exit status {self.proc.wait(EXIT_TIMEOUT)}, stderr:\n{self._stderr_at_end()}")
            self._out += chunk
            have += chunk.count(b"\n")
        *lines, self._out = self._out.split(b"\n", count)
        lines = [line + b"\n" for line in lines]
        return [line.decode() for line in lines]

    def read_lines(self, count: int, timeout: float = RECORD_TIMEOUT) -> list[str]:
        """Wait for the next `count` records and return them as written."""
        lines = self._take_lines(count, timeout)
        parse_records(lines)
        return lines

    def read_records(self, count: int, timeout: float = RECORD_TIMEOUT) -> list[dict]:
        """Wait for the next `count` records and return them decoded."""
        return parse_records(self._take_lines(count, timeout))

    def send(self, data: bytes) -> None:
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def input_taken(self, timeout: float = RECORD_TIMEOUT) -> None:
        """Wait until the backend has read everything sent to its standard
        input, so that what it does next happens after it saw that input."""
        deadline = time.monotonic() + timeout
        while True:
            # FIONREAD on either end of a pipe tells how much is still in it.
            unread = struct.unpack("i", fcntl.ioctl(self.proc.stdin.fileno(), termios.FIONREAD,
                                                    b"\0" * 4))[0]
            if unread == 0:
                return
            assert self.proc.poll() is None, (
                f"ended with {unread} byte(s) of input unread: exit status {self.proc.returncode}, "
                f"stderr:\n{self.stderr}")
            assert time.monotonic() < deadline, (
                f"{unread} byte(s) of input still unread after {timeout} s")
            time.sleep(0.002)

    def close_stdin(self) -> None:
        """Close our end of the backend's standard input: its input ends."""
        self.proc.stdin.close()

    def close_stdout(self) -> None:
        """Close our end of the backend's standard output, as a reader that quits."""
        self.proc.stdout.close()

    def wait(self, timeout: float = EXIT_TIMEOUT) -> int:
        """The exit status (negative: the signal that ended it)."""
        status = self.proc.wait(timeout)
        self._err_thread.join(timeout)
        self._check_sanitizers()
        return status

    def _check_sanitizers(self) -> None:
        """Fail the test if the backend's standard error holds a sanitizer report."""
        if self._sanitizers_checked:
            return  # one failure per backend is enough
        text = self.stderr
        found = [mark for mark in SANITIZER_MARKS if mark in text]
        if found:
            self._sanitizers_checked = True
            pytest.fail(f"sanitizer report ({', '.join(found)}) on the backend's standard error, "
                        f"exit status {self.proc.returncode}:\n{text}", pytrace=False)

    def _stderr_at_end(self) -> str:
        self._err_thread.join(EXIT_TIMEOUT)
        return self.stderr

    def rest(self) -> list[str]:
        """Once the backend has ended: the records it wrote that were not yet read."""
        lines = [line.decode() for line in self.rest_bytes().splitlines(keepends=True)]
        parse_records(lines)
        return lines

    def rest_bytes(self, timeout: float = EXIT_TIMEOUT) -> bytes:
        """Once the backend has ended: all it wrote that was not yet read, byte
        for byte, including anything after its last newline."""
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise AssertionError(
                    f"stdout did not end within {timeout} s; exit status {self.proc.poll()}, "
                    f"stderr:\n{self.stderr}")
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            self._out += chunk
        rest, self._out = self._out, b""
        self.wait()
        return rest

    def terminate(self) -> list[str]:
        """End the backend with SIGTERM; returns the records not yet read."""
        self.proc.send_signal(signal.SIGTERM)
        status = self.wait()
        assert status == -signal.SIGTERM, f"exit status {status}, stderr:\n{self.stderr}"
        return self.rest()

    def stop(self) -> list[str]:
        """End the backend with the stop command; returns the records not yet read."""
        self.send(b"stop\n")
        status = self.wait()
        assert status == 0, f"exit status {status}, stderr:\n{self.stderr}"
        return self.rest()

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            try:
                stream.close()
            except OSError:
                pass  # a pipe the backend closed first
        self._err_thread.join()
        self.proc.stderr.close()


@pytest.fixture
def start_backend(testbed: TestBed):
    """A function that starts the backend on the test bed.

    fail: make that set-up step fail (udev_new, libinput_udev_create_context,
    libinput_udev_assign_seat). as_nobody: run as uid/gid 65534 with no
    supplementary groups, after opening the test bed to that user.
    """
    program = required_path("TAPOLUX_BACKEND")
    fixes = required_path("TAPOLUX_PRELOAD")
    started: list[Backend] = []

    def start(*, fail: str | None = None, as_nobody: bool = False,
              args: Sequence[str] = (), stdin: bytes = b"") -> Backend:
        # Ours first: it must see the paths as the backend gives them, before
        # umockdev rewrites those under /dev and /sys.
        preload = [fixes, UMOCKDEV_PRELOAD]
        env = {k: v for k, v in os.environ.items() if k != "TAPOLUX_FAIL"}
        if fail:
            preload.insert(0, required_path("TAPOLUX_FAIL_PRELOAD"))
            env["TAPOLUX_FAIL"] = fail
        env.update(LD_PRELOAD=":".join(preload), UMOCKDEV_DIR=str(testbed.root))
        # An AddressSanitizer build refuses to start behind preloaded libraries
        # unless told that the order is fine; other builds ignore this.
        env["ASAN_OPTIONS"] = ":".join(
            filter(None, [env.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        command = [program, *args]
        if as_nobody:
            if os.geteuid() != 0:
                missing("running the backend as another user needs root")
            if not shutil.which("setpriv"):
                missing("setpriv not found (apt-get install util-linux)")
            testbed.open_to_others()
            # setpriv only changes the user, so it runs without the preloaded
            # libraries and hands them on: in a sanitizer build they carry the
            # sanitizer's runtime, and ThreadSanitizer's crashes setpriv.
            command = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}",
                       "--clear-groups", "--",
                       "/usr/bin/env", f"LD_PRELOAD={env.pop('LD_PRELOAD')}", *command]
        backend = Backend(command, env, stdin)
        started.append(backend)
        testbed.backends.append(backend)
        testbed.replay_when_opened(backend, [
            device for device in testbed.devices
            if not (as_nobody and testbed.is_locked(device))])
        return backend

    yield start
    for backend in started:
        backend.kill()
    # Only once all are gone, so that a report cannot leave one running.
    for backend in started:
        backend._check_sanitizers()
