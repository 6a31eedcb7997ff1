# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""The emulation kit: the real backend run against input devices emulated by
umockdev, for the tests (tests/emulated), the benchmark (bench/) and the demo
(scripts/demo.py).

A process that uses the kit must itself run under umockdev-wrapper: it drives
the test bed (ioctl answers, event replay, uevents) through libumockdev, and a
uevent for a hot-plugged device only reaches the backend from a preloaded
process. It imports the kit as the package `emulation`, with the top of the
source tree on its Python path (`meson test` sets PYTHONPATH, pytest.ini in
tests/emulated sets `pythonpath`, scripts/demo sets PYTHONPATH). By hand:

    TAPOLUX_BACKEND=build/tapolux-backend \\
    TAPOLUX_PRELOAD=build/emulation/preload/umockdev_fixes.so \\
    TAPOLUX_FAIL_PRELOAD=build/emulation/preload/fail_init.so \\
    TAPOLUX_ATTEMPTS_PRELOAD=build/emulation/preload/attempts.so \\
    umockdev-wrapper python3 -m pytest tests/emulated

Modules (everything listed is also importable from `emulation` itself).
They depend on each other in one direction: `backend` (what runs on a test
bed) uses `testbed` and `process`; `testbed` knows of the processes started
on it only what its `Reader` protocol asks (the Backend class is one), and
`process` and the rest know neither.

- `devices`: emulated devices and their events, generated from short
  descriptions. `keyboard(n)`, `mouse(n)`: a Device at /dev/input/event<n>
  (its sysfs text, udev database entry and ioctl answers); a Device may also
  have absolute axes (`Axis`: EVIOCGABS answers, and EVIOCGMTSLOTS for a
  multitouch one), switches, input properties, and a `kind` of
  KIND_PROPERTIES (keyboard, key, mouse, pointingstick, touchpad,
  touchscreen, switch) that decides its ID_INPUT_* properties. Events are tuples
  (time_us, type, code, value): `key`, `taps`, `typed`, `clicks`, `motion`,
  `wheel` make them, `end_of` chains them, `evemu_text` writes them for
  umockdev. `key_changes(events)`: (key_code, state_code, time_stamp) of
  every key or button change, what the records must say; `time_stamp(us)`:
  the time_stamp the backend writes for an event time. `CHAR_KEYS`,
  `LETTER_KEYS`, `LETTER_NAMES` and the event codes.
- `hardware`: replicas of real devices (each names the one it copies) and
  gestures on them. `laptop()`: a ThinkPad X1 Carbon 3rd's keyboard,
  clickpad, TrackPoint, lid switch and power button, with a Marble Mouse
  trackball and a touchscreen, at event0..6; `dmi_text()` its DMI data,
  for `TestBed.add_system`, which makes libinput's quirks for it apply;
  `install(testbed)` adds both. `pen_tablet(n)`: the pen of the same
  touchscreen, a tablet that libinput looks up in libwacom's database.
  `touches`, `hold`, `swipe` (fingers), `click`, `press`, `lid`, `nudge`,
  `keyed`, `merged` make scripts whose times count from the start of the
  gesture; `play(testbed, {device: script})` writes them into the nodes as
  their times come, stamped with the monotonic clock, so that libinput's
  timers run as on real hardware, and returns the start (µs).
- `peer`: `launch_peer(testbed, programs)` runs `libinput debug-events
  --show-keycodes` on a test bed (a `Peer`: `events()`, `wait_for`,
  `stop()` with SIGINT, `kill()`); `peer_changes(events)` gives (kind, code,
  state) of its key and button events, as the records have them.
- `testbed`: `TestBed()`, a umockdev test bed (one at a time in a process;
  also a context manager). `add(device, events)` adds a device and the events
  it replays; the replay starts only once a backend has the device open.
  `add_system(text)` adds a device that is not an input device.
  `plug(device, events)` adds one while a backend runs: umockdev sends the
  "add" uevent, and the kit sends it again once the node has its owner.
  Its permissions are a real system's, for a backend that leaves root once
  its seat is open: everything readable, ioctl sockets connectable, each
  node root:INPUT_GROUP 0660. `lock(device)` lets only root open a node;
  `open_to_others(nodes=True)` lets another user run the backend on the
  test bed (with `nodes`, every unlocked node openable by anyone).
  `node_target(device)`: the
  pseudo-terminal behind a node, as /proc/<pid>/fd shows it; `device_fd(device)`:
  the test bed's side of it, to write events straight into the node.
  `close()` destroys it. `watch(reader, devices)`: what launch() does with a
  process it started: plug() serves it from then on, and the replay of each
  of `devices` starts once it has added it: the node open, and its main
  thread back in its wait for input since (`replay_when_opened`). `Reader`:
  what the test bed needs of such a process (`running()`, `open_files()`,
  `waiting_in_poll()`, `stderr`). `Unavailable`: what the kit raises when
  the machine or user lacks something it needs (the message says what).
- `backend`: `Programs(backend, fixes, fail=None, attempts=None)`: the built
  backend and the preloaded modules; `Programs.from_environment()` takes them
  from TAPOLUX_BACKEND, TAPOLUX_PRELOAD, TAPOLUX_FAIL_PRELOAD,
  TAPOLUX_ATTEMPTS_PRELOAD. `copies_for_others(
  programs)`: a context manager giving copies that another user can run and
  preload, wherever the build lies. `check_other_user()`: raises Unavailable
  unless this process may run the backend as another user (root, setpriv).
  `environment(root, fixes, front=(), base=None)`: the environment of a
  program run on a test bed (LD_PRELOAD of front, fixes, umockdev's library;
  LeakSanitizer off, as the contained backend refuses the ptrace it needs).
  `launch(testbed, programs, fail=None, as_nobody=False, groups=(), args=(),
  stdin=b"", stdout=None, preexec=None, attempts=None, under=())`: starts
  the backend on the test bed (see its docstring for each argument: groups
  kept with as_nobody, the attempts module's targets, a command such as
  valgrind to run it under), starts the replays of the devices it opens, and
  returns a Backend.
  `Backend`: `read_records(n)` / `read_lines(n)` wait for the next n records,
  decoded or as written, read as a strict frontend reads (every read() must
  end at a record boundary); `records_read` counts the records come out of
  the pipe so far, `unread_bytes()` what still waits in it;
  `read_in_background()` reads all the time from a thread, and
  `wait_for_records(n, quiet)` waits on that thread; `send(data)` writes to
  its standard input; `input_taken()` waits until the backend has read all of
  it (or has ended with it all read); `close_stdin()` ends its input;
  `close_stdout()` walks away as a reader; `wait()` gives the exit status
  (negative: the signal); `terminate()` (SIGTERM) and `stop()` (the stop
  command) end it and return the records not yet read; `rest()` returns
  those once it has ended by itself, `rest_bytes()` the same unparsed, to
  the last byte; `stderr` is its standard error so far; `running()` whether
  it has not ended yet; `open_files()` what its descriptors point to;
  `waiting_in_poll()` whether its main thread sleeps in its wait for input;
  `kill()` ends it and closes every stream. A sanitizer report on standard
  error fails (AssertionError) as soon as the backend is seen to have ended
  (wait, rest, stop, terminate, check_sanitizers).
- `records`: `parse_records(lines)`: every line read from the backend's
  standard output passes through here (schema and exact layout), so a check
  that applies to every record belongs there. `parse_output(data)` does the
  same for output read raw to its end, and checks that it ends with a whole
  record. `record(time_stamp, key_name, key_code, state_code, event_name)`: a
  record as the backend writes it, decoded; `record_line(record)`: as a line.
  `changes_of(records)`: (key_code, state_code, time_stamp) of each record.
- `constants`: START_US (the usual first event time), RECORD_TIMEOUT,
  EXIT_TIMEOUT, PIECE (511: the stop command's piece), STOP, NO_DEVICES (the
  message of a run without devices), NOBODY, INPUT_GROUP (the emulated
  nodes' group, as `input` on a real system), UMOCKDEV_PRELOAD, READ_SIZE,
  SANITIZER_MARKS.
- `process`: one look at a running process in /proc: `open_files(pid)`,
  `threads(pid)`, `waiting_in_poll(pid, tid=None)` (WAITING_SYSCALLS);
  `Looks`, the three looks as methods of a class holding its `proc` (the
  Backend's and the peer's, which makes each a testbed.Reader). A
  check made of two looks at a running process looks first at whether it
  has ended, then at what it changes (its pipes, files, threads): once it
  has ended, those are final.
- `waiting`: `wait_until(condition, what, timeout)`.
- `launcher`: what a launcher may do in the child before the exec, for
  `launch(preexec=...)`: `blocking(*signals)`, `ignoring(signum)`,
  `nonblocking(fd)`, `closing(fd)`, `sized_pipe(fd, size)`; `steps(*preexecs)`
  does several in turn; `without_landlock()` answers ENOSYS to the Landlock
  calls, as a kernel without Landlock does (python3-seccomp).

The preloaded modules are built from emulation/preload (when tests or the
benchmark are enabled): umockdev_fixes.so (also hands umockdev sockets made
before the backend's filter, and points its Landlock rule for /dev/input at
the pseudo-terminals behind emulated nodes), fail_init.so and attempts.so
(plays a fault inside the backend: tries every forbidden action from both
threads); wrap.h holds the
macros that forward a wrapped function to the next definition (NEXT, REAL)
and wrap the open() family (WRAP_OPEN_FAMILY), for any other preloaded
module (the meson variable emulation_preload_inc is its folder).
"""

from . import devices, hardware, launcher, peer, process
from .backend import (Backend, Programs, check_other_user, copies_for_others, environment,
                      launch)
from .constants import (EXIT_TIMEOUT, INPUT_GROUP, NO_DEVICES, NOBODY, PIECE, READ_SIZE,
                        RECORD_TIMEOUT, SANITIZER_MARKS, START_US, STOP, UMOCKDEV_PRELOAD)
from .devices import key_changes
from .records import (changes_of, parse_output, parse_record, parse_records, record,
                      record_line)
from .testbed import Reader, TestBed, Unavailable
from .waiting import wait_until

__all__ = [
    "Backend", "EXIT_TIMEOUT", "INPUT_GROUP", "NOBODY", "NO_DEVICES", "PIECE", "Programs",
    "READ_SIZE", "RECORD_TIMEOUT", "Reader", "SANITIZER_MARKS", "START_US", "STOP", "TestBed",
    "UMOCKDEV_PRELOAD", "Unavailable", "changes_of", "check_other_user", "copies_for_others",
    "devices", "environment", "hardware", "key_changes", "launch", "launcher", "parse_output",
    "parse_record", "parse_records", "peer", "process", "record", "record_line", "wait_until",
]
