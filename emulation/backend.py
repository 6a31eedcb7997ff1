# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""The backend as a child process on a test bed, and how it is started."""

from __future__ import annotations

import contextlib
import dataclasses
import fcntl
import os
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import termios
import threading
import time
from pathlib import Path
from typing import IO, Callable, Iterator, Sequence, Union

from . import process
from .constants import (EXIT_TIMEOUT, NOBODY, READ_SIZE, RECORD_TIMEOUT, SANITIZER_MARKS, STOP,
                        UMOCKDEV_PRELOAD)
from .records import parse_records
from .testbed import TestBed, Unavailable
from .waiting import wait_until

# --- what runs --------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Programs:
    """The built backend and the preloaded modules that go with it.

    `fixes` mends umockdev for libinput (emulation/preload/umockdev_fixes.c)
    and goes into every run; `fail` makes one step of the input set-up fail
    (fail_init.c), for the runs that ask for that; `attempts` plays a fault
    inside the running backend (attempts.c).
    """

    backend: str
    fixes: str
    fail: str | None = None
    attempts: str | None = None

    @classmethod
    def from_environment(cls) -> Programs:
        """The paths that `meson test` passes in TAPOLUX_BACKEND,
        TAPOLUX_PRELOAD, TAPOLUX_FAIL_PRELOAD and TAPOLUX_ATTEMPTS_PRELOAD
        (the last two optional)."""

        def path(variable: str, required: bool = True) -> str | None:
            value = os.environ.get(variable)
            if not value:
                if not required:
                    return None
                raise Unavailable(f"{variable} is not set (run through `meson test`)")
            if not os.path.exists(value):
                raise Unavailable(f"{variable}={value} does not exist (build first)")
            return value

        return cls(path("TAPOLUX_BACKEND"), path("TAPOLUX_PRELOAD"),
                   path("TAPOLUX_FAIL_PRELOAD", required=False),
                   path("TAPOLUX_ATTEMPTS_PRELOAD", required=False))

    def copied_to(self, folder: str | Path) -> Programs:
        """Copies of these files in `folder`, executable and readable by all."""
        copies = {}
        for field in dataclasses.fields(self):
            source = getattr(self, field.name)
            if source is not None:
                copies[field.name] = shutil.copy(source, os.path.join(folder, Path(source).name))
                os.chmod(copies[field.name], 0o755)
        return Programs(**copies)


def check_other_user() -> None:
    """Raise Unavailable unless this process can run the backend as NOBODY."""
    if os.geteuid() != 0:
        raise Unavailable("running the backend as another user needs root")
    if not shutil.which("setpriv"):
        raise Unavailable("setpriv not found (apt-get install util-linux)")


@contextlib.contextmanager
def copies_for_others(programs: Programs) -> Iterator[Programs]:
    """Copies of `programs` that another user can run and preload.

    The build folder may lie where only its owner can go (a clone under
    /root, a mktemp -d folder), and then the exec, or the loading of a
    preloaded module, fails for the other user with "Permission denied". The
    copies live in a folder of their own under the temporary folder, removed
    on leaving.
    """
    folder = tempfile.mkdtemp(prefix="tapolux-programs-")
    try:
        os.chmod(folder, 0o755)
        yield programs.copied_to(folder)
    finally:
        shutil.rmtree(folder)


def environment(testbed_root: str | Path, fixes: str, front: Sequence[str] = (),
                base: dict[str, str] | None = None) -> dict[str, str]:
    """The environment of a program run on a test bed: `base` (this
    process's environment by default) with UMOCKDEV_DIR and an LD_PRELOAD of
    `front`, the fixes and umockdev's library, in that order.

    The fixes come before umockdev's library: they must see the paths as the
    program gives them, before umockdev rewrites those under /dev and /sys.
    Whatever must see a call before the fixes do (a probe, a failure
    injection) goes in `front`.
    """
    env = dict(os.environ if base is None else base)
    env.update(LD_PRELOAD=":".join([*front, fixes, UMOCKDEV_PRELOAD]),
               UMOCKDEV_DIR=str(testbed_root))
    # An AddressSanitizer build refuses to start behind preloaded libraries
    # unless told that the order is fine; other builds ignore this.
    # LeakSanitizer stops the world with ptrace at exit, which the backend
    # has refused itself once its seat is open: its leaks are checked under
    # valgrind instead (the `leaks` suite), which needs no ptrace.
    env["ASAN_OPTIONS"] = ":".join(
        filter(None, [env.get("ASAN_OPTIONS"), "verify_asan_link_order=0", "detect_leaks=0"]))
    return env


# What a frontend hands over as the backend's standard output: a descriptor
# or an open file.
Output = Union[int, IO]


def launch(testbed: TestBed, programs: Programs, *, fail: str | None = None,
           as_nobody: bool = False, groups: Sequence[int] = (), args: Sequence[str] = (),
           stdin: bytes = b"", stdout: Output | None = None,
           preexec: Callable[[], None] | None = None,
           attempts: dict[str, str] | None = None, under: Sequence[str] = ()) -> Backend:
    """Start the backend on `testbed` and start the replays of the devices it opens.

    fail: make that set-up step fail (udev_new, libinput_udev_create_context,
    libinput_udev_assign_seat). as_nobody: run as uid/gid NOBODY with no
    supplementary groups, after opening the test bed to that user; `programs`
    must then lie where that user can read them (copies_for_others). args:
    the command-line arguments. stdin: what already waits in its standard
    input when it starts. stdout: None for a pipe that the Backend reads, or
    a descriptor or open file handed over as its standard output (the
    Backend then has none to read). preexec: called in the child right
    before the exec, once its standard streams are in place (with as_nobody,
    before setpriv's exec). groups: with as_nobody, the supplementary groups
    it keeps (INPUT_GROUP: a member of the group that owns the nodes, which
    then stay closed to others). attempts: preload the attempts module
    (emulation/preload/attempts.c), with these variables, which name its
    targets, in the environment. under: a command that runs the backend in
    its own process (valgrind and its options).
    """
    front = []
    base = {k: v for k, v in os.environ.items() if k != "TAPOLUX_FAIL"}
    if attempts is not None:
        if not programs.attempts:
            raise Unavailable("TAPOLUX_ATTEMPTS_PRELOAD is not set (run through `meson test`)")
        front.append(programs.attempts)
        base.update(attempts)
    if fail:
        if not programs.fail:
            raise Unavailable("TAPOLUX_FAIL_PRELOAD is not set (run through `meson test`)")
        front.append(programs.fail)
        base["TAPOLUX_FAIL"] = fail
    run_env = environment(testbed.root, programs.fixes, front, base)
    command = [*under, programs.backend, *args]
    if as_nobody:
        check_other_user()
        testbed.open_to_others(nodes=not groups)
        group_option = f"--groups={','.join(map(str, groups))}" if groups else "--clear-groups"
        # setpriv only changes the user, so it runs without the preloaded
        # libraries and hands them on: in a sanitizer build they carry the
        # sanitizer's runtime, and ThreadSanitizer's crashes setpriv.
        command = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", group_option, "--",
                   "/usr/bin/env", f"LD_PRELOAD={run_env.pop('LD_PRELOAD')}", *command]
    backend = Backend(command, run_env, stdin, stdout, preexec)
    testbed.watch(backend, [
        device for device in testbed.devices if not (as_nobody and testbed.is_locked(device))])
    return backend


# --- the running backend ------------------------------------------------------------


class Backend(process.Looks):
    """The backend running on a test bed, with pipes on its three streams
    (standard output may be handed over instead, see launch).

    Standard output is read by one loop (_read_until), in three ways: records
    as a strict frontend reads them (read_records, read_lines: every read()
    must end at a record boundary), raw to the end (rest_bytes, rest), or all
    the time by a thread of its own (read_in_background).
    """

    def __init__(self, command: list[str], env: dict[str, str], stdin: bytes = b"",
                 stdout: Output | None = None,
                 preexec: Callable[[], None] | None = None) -> None:
        # The input is a pipe of ours either way; what is given here is in it
        # before the backend runs, as when the frontend writes before it starts.
        read_end, write_end = os.pipe()
        if stdin:
            assert len(stdin) <= select.PIPE_BUF, "more than a pipe takes without a reader"
            os.write(write_end, stdin)
        try:
            self.proc = subprocess.Popen(
                command, env=env, stdin=read_end,
                stdout=subprocess.PIPE if stdout is None else stdout,
                stderr=subprocess.PIPE, preexec_fn=preexec)
        finally:
            os.close(read_end)
        self.proc.stdin = open(write_end, "wb")
        self._out = bytearray()  # read from standard output, not yet taken
        self._reads = 0
        self._lines_read = 0
        self._ended = False
        self.last_arrival: float | None = None  # time.monotonic() of the last data
        self._arrival = threading.Condition()
        self._background: threading.Thread | None = None
        self._sanitizers_checked = False
        self._err: list[bytes] = []
        # stderr is drained all the time, so that libinput's chatter can never
        # fill the pipe and block the backend; stdout is read only when asked.
        self._err_thread = threading.Thread(target=self._drain_stderr, daemon=True)
        self._err_thread.start()

    def _drain_stderr(self) -> None:
        for chunk in iter(lambda: self.proc.stderr.read1(65536), b""):
            self._err.append(chunk)

    @property
    def stderr(self) -> str:
        """Standard error so far; complete once the backend has ended."""
        return b"".join(self._err).decode(errors="replace")

    def _failure(self, what: str) -> str:
        return (f"{what}; {self._lines_read} record(s) come so far, the last bytes not yet "
                f"taken {bytes(self._out[-300:])!r}, exit status {self.proc.poll()}, "
                f"stderr:\n{self.stderr}")

    # --- reading standard output ---

    def _read_until(self, enough: Callable[[], bool], timeout: float | None,
                    strict: bool, what: str) -> None:
        """The one read loop: read standard output until `enough()` holds or
        the output ends, failing after `timeout` seconds (None: no limit).

        Each read takes all there is in the pipe. With `strict`, each must end
        at a record boundary, as a frontend that parses every read() on its
        own needs: each record is one write of fewer than PIPE_BUF bytes,
        which the kernel never lets a reader see in part, so a record written
        in two pieces shows up as a read that ends inside it.
        """
        assert self.proc.stdout is not None, "standard output was handed over at start"
        fd = self.proc.stdout.fileno()
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._ended and not enough():
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([fd], [], [], left)[0]:
                    raise AssertionError(self._failure(f"waited {timeout} s for {what}"))
            chunk = os.read(fd, READ_SIZE)
            with self._arrival:
                self._reads += 1
                assert not strict or not chunk or chunk.endswith(b"\n"), (
                    f"read {self._reads} (after {self._lines_read} whole records) ended "
                    f"inside a record: ...{chunk[-120:]!r}")
                self._out += chunk
                self._lines_read += chunk.count(b"\n")
                if chunk:
                    self.last_arrival = time.monotonic()
                else:
                    self._ended = True
                self._arrival.notify_all()

    def _take_lines(self, count: int, timeout: float) -> list[str]:
        """The next `count` lines of stdout."""
        assert self._background is None, "standard output is being read in the background"
        self._read_until(lambda: self._out.count(b"\n") >= count, timeout, strict=True,
                         what=f"{count} record(s)")
        if self._out.count(b"\n") < count:
            self.proc.wait(EXIT_TIMEOUT)
            self._err_thread.join(EXIT_TIMEOUT)
            raise AssertionError(self._failure(f"stdout ended while {count} record(s) were due"))
        *lines, rest = bytes(self._out).split(b"\n", count)
        self._out = bytearray(rest)
        return [line.decode() + "\n" for line in lines]

    def read_lines(self, count: int, timeout: float = RECORD_TIMEOUT) -> list[str]:
        """Wait for the next `count` records and return them as written."""
        lines = self._take_lines(count, timeout)
        parse_records(lines)
        return lines

    def read_records(self, count: int, timeout: float = RECORD_TIMEOUT) -> list[dict]:
        """Wait for the next `count` records and return them decoded."""
        return parse_records(self._take_lines(count, timeout))

    @property
    def records_read(self) -> int:
        """How many records have come out of the pipe so far, taken or not."""
        return self._lines_read

    def read_in_background(self) -> None:
        """Read standard output all the time from a thread, as a frontend
        does, so that the backend never waits on a full pipe; rest_bytes()
        returns it all once the output has ended."""

        def read() -> None:
            with contextlib.suppress(OSError, ValueError):  # closed under it
                self._read_until(lambda: False, None, strict=False, what="the end")

        self._background = threading.Thread(target=read, daemon=True)
        self._background.start()

    def wait_for_records(self, count: int, quiet: float) -> None:
        """While reading in the background: wait until `count` records have
        come, the output has ended, or nothing has come for `quiet` seconds."""
        with self._arrival:
            while self._lines_read < count and not self._ended:
                quiet_since = self.last_arrival or time.monotonic()
                if not self._arrival.wait(timeout=quiet) and \
                        time.monotonic() - quiet_since >= quiet:
                    return

    def rest_bytes(self, timeout: float = EXIT_TIMEOUT) -> bytes:
        """Once the backend has ended: all it wrote that was not yet read, byte
        for byte, including anything after its last newline."""
        if self._background is not None:
            self._background.join(timeout)
            assert not self._background.is_alive(), f"stdout did not end within {timeout} s"
        elif self.proc.stdout is not None:  # else handed over: nothing here to read
            self._read_until(lambda: False, timeout, strict=False, what="the end of stdout")
        rest = bytes(self._out)
        self._out.clear()
        self.wait()
        return rest

    def rest(self) -> list[str]:
        """Once the backend has ended: the records it wrote that were not yet read."""
        lines = [line.decode() for line in self.rest_bytes().splitlines(keepends=True)]
        parse_records(lines)
        return lines

    def unread_bytes(self) -> int:
        """How many bytes wait in the backend's stdout pipe."""
        return self._fionread(self.proc.stdout)

    # --- standard input ---

    def send(self, data: bytes) -> None:
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def input_taken(self, timeout: float = RECORD_TIMEOUT) -> None:
        """Wait until the backend has read everything sent to its standard
        input, so that what it does next happens after it saw that input."""

        def taken() -> bool:
            # The process first, then the pipe: a backend that reads its last
            # bytes (the stop command) and ends between the two looks would
            # otherwise be seen ended with input unread. Once it has ended the
            # pipe's level no longer changes.
            ended = not self.running()
            unread = self._fionread(self.proc.stdin)
            assert unread == 0 or not ended, self._failure(
                f"ended with {unread} byte(s) of input unread")
            return unread == 0

        wait_until(taken, lambda: f"reading all of its input "
                   f"({self._fionread(self.proc.stdin)} byte(s) left)", timeout)

    @staticmethod
    def _fionread(pipe: IO) -> int:
        # FIONREAD on either end of a pipe tells how much is still in it.
        return struct.unpack("i", fcntl.ioctl(pipe.fileno(), termios.FIONREAD, b"\0" * 4))[0]

    def close_stdin(self) -> None:
        """Close our end of the backend's standard input: its input ends."""
        self.proc.stdin.close()

    def close_stdout(self) -> None:
        """Close our end of the backend's standard output, as a reader that quits."""
        self.proc.stdout.close()

    # --- the end ---

    def wait(self, timeout: float = EXIT_TIMEOUT) -> int:
        """The exit status (negative: the signal that ended it)."""
        status = self.proc.wait(timeout)
        self._err_thread.join(timeout)
        self.check_sanitizers()
        return status

    def check_sanitizers(self) -> None:
        """Fail if the backend's standard error holds a sanitizer report."""
        if self._sanitizers_checked:
            return  # one failure per backend is enough
        text = self.stderr
        found = [mark for mark in SANITIZER_MARKS if mark in text]
        if found:
            self._sanitizers_checked = True
            raise AssertionError(
                f"sanitizer report ({', '.join(found)}) on the backend's standard error, "
                f"exit status {self.proc.returncode}:\n{text}")

    def terminate(self) -> list[str]:
        """End the backend with SIGTERM; returns the records not yet read."""
        self.proc.send_signal(signal.SIGTERM)
        status = self.wait()
        assert status == -signal.SIGTERM, f"exit status {status}, stderr:\n{self.stderr}"
        return self.rest()

    def stop(self) -> list[str]:
        """End the backend with the stop command; returns the records not yet read."""
        self.send(STOP)
        status = self.wait()
        assert status == 0, f"exit status {status}, stderr:\n{self.stderr}"
        return self.rest()

    def kill(self) -> None:
        """End the backend if it still runs, and close every stream."""
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            with contextlib.suppress(OSError, AttributeError):  # closed first, or handed over
                stream.close()
        self._err_thread.join()
        if self._background is not None:
            self._background.join()
        self.proc.stderr.close()
