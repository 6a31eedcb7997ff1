# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""A umockdev test bed holding emulated keyboards and mice."""

from __future__ import annotations

import gc
import os
import select
import threading
import time
from pathlib import Path
from typing import Iterable, Protocol, Sequence

from . import devices
from .constants import INPUT_GROUP, RECORD_TIMEOUT

try:
    import gi

    gi.require_version("UMockdev", "1.0")
    from gi.repository import UMockdev
except (ImportError, ValueError) as error:  # a machine without gir1.2-umockdev-1.0
    UMockdev = None
    UMOCKDEV_MISSING = f"UMockdev introspection data not found ({error})"


class Unavailable(Exception):
    """This machine or user lacks what the emulation needs (a tool, a file, a
    permission); the message says what. A test suite skips on it."""


class Reader(Protocol):
    """A process that reads the test bed's devices (the kit's Backend is
    one): what the test bed needs of it to start a replay once it has added
    the device."""

    def running(self) -> bool:
        """Whether it has not ended yet."""

    def open_files(self) -> set[str]:
        """What its open descriptors point to (process.open_files)."""

    def waiting_in_poll(self) -> bool:
        """Whether its main thread sleeps in its wait for input
        (process.waiting_in_poll)."""

    @property
    def stderr(self) -> str:
        """Its standard error so far, for a failure's message."""


class TestBed:
    """A umockdev test bed with the files libudev and libinput need per device.

    Only this wrapper holds the UMockdev.Testbed, so that close() really
    destroys it: two test beds alive in one process would fight over
    UMOCKDEV_DIR, which each one sets and unsets in the environment.

    umockdev starts replaying a device's events the moment they are loaded,
    whether or not anyone has the device open, and libinput discards what is
    queued on a device when it adds it. So the events given to add() wait
    until a reader has added the device (see replay_when_opened).
    """

    __test__ = False  # not a test class, whatever its name says

    def __init__(self) -> None:
        if UMockdev is None:
            raise Unavailable(UMOCKDEV_MISSING)
        self._bed = UMockdev.Testbed.new()
        self.root = Path(self._bed.get_root_dir())
        # libudev only passes uevents on to a monitor when udev looks alive
        # (or /dev is a devtmpfs, which a container's /dev may not be).
        control = self.root / "run/udev/control"
        control.parent.mkdir(parents=True)
        control.touch()
        self.devices: list[devices.Device] = []
        self.readers: list[Reader] = []  # started on this test bed, for plug()
        self._pending: dict[str, Sequence[devices.Event]] = {}
        self._replaying: list[devices.Device] = []
        self._locked: set[str] = set()
        self._shared = False
        self._shared_nodes = False
        self._set_permissions()

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
        # Its ioctl socket must be connectable before the uevent goes out,
        # or a backend that is no longer root ends at its first try.
        self._set_permissions()
        self._bed.add_from_string(device.sysfs_text())
        self.devices.append(device)
        if events:
            self._pending[device.devnode] = events
        self._set_permissions()
        return device

    def add_system(self, sysfs_text: str) -> None:
        """Add a device that is not an input device, in umockdev's text
        format: the machine's DMI data (hardware.dmi_text), for example."""
        self._bed.add_from_string(sysfs_text)
        self._set_permissions()

    def plug(self, device: devices.Device,
             events: Sequence[devices.Event] = ()) -> devices.Device:
        """Add a device while readers run, and start its replay once they have added it."""
        running = [reader for reader in self.readers if reader.running()]
        assert running, "plug() is for a running backend; use add() before starting it"
        self.add(device, events)
        # The uevent that came with the device may have found its node still
        # closed to a backend that is no longer root; tell it again now that
        # the node has the owner and mode a real system gives it.
        self._bed.uevent(device.syspath, "add")
        for reader in running:
            self.replay_when_opened(reader, [device])
        return device

    def watch(self, reader: Reader, expected: Iterable[devices.Device]) -> None:
        """Take `reader`, just started on this test bed, among those that
        plug() serves, and start the replay of each expected device once it
        has added the device (replay_when_opened)."""
        self.readers.append(reader)
        self.replay_when_opened(reader, expected)

    def replay_when_opened(self, reader: Reader, expected: Iterable[devices.Device],
                           timeout: float = RECORD_TIMEOUT) -> None:
        """Start the replay of each expected device once `reader` has added
        it: it has the node open, and its main thread has been seen back in
        its wait for input since. Returns early, without replaying, if the
        reader ends.

        libinput drains whatever is queued on a device while it adds it,
        between the open and the next wait; a replay started at the open
        could lose its first events there to a reader held up long enough
        on a busy machine, however long the replay's lead-in.
        """
        waiting = {self.node_target(device): device for device in expected
                   if device.devnode in self._pending}
        opened: list[devices.Device] = []
        deadline = time.monotonic() + timeout
        while waiting or opened:
            if not reader.running():
                return
            # In poll now, so past adding every device seen open before.
            if opened and reader.waiting_in_poll():
                for device in opened:
                    self._replay(device)
                opened.clear()
            for target in reader.open_files() & waiting.keys():
                opened.append(waiting.pop(target))
            if time.monotonic() > deadline:
                raise AssertionError(
                    f"the backend did not open {sorted(d.devnode for d in waiting.values())}, "
                    f"or did not wait for input after opening "
                    f"{sorted(d.devnode for d in opened)}, within {timeout} s; "
                    f"stderr:\n{reader.stderr}")
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

    def node_target(self, device: devices.Device) -> str:
        """The pseudo-terminal behind the device's node: what a process that
        has the node open shows in /proc/<pid>/fd (process.open_files)."""
        return os.readlink(self._node(device))

    def device_fd(self, device: devices.Device) -> int:
        """The test bed's own side of the device's pseudo-terminal: whatever
        is written there, a process that has the node open reads as events.
        For writing events directly instead of replaying a list."""
        return self._bed.get_dev_fd(device.devnode)

    def lock(self, device: devices.Device) -> None:
        """Let only root open the device node."""
        self._locked.add(device.devnode)
        self._set_node_mode(device)

    def is_locked(self, device: devices.Device) -> bool:
        return device.devnode in self._locked

    def open_to_others(self, nodes: bool = True) -> None:
        """Let another user run the backend on this test bed; devices added
        later are opened to them too: the root folder becomes writable, since
        the emulated netlink socket of the backend's udev monitor is created
        there, and, with `nodes`, every node but the locked ones openable by
        anyone (else only by root and INPUT_GROUP)."""
        self._shared = True
        self._shared_nodes = nodes
        self._set_permissions()

    def _set_permissions(self) -> None:
        """Give the test bed the permissions a real system has, for a backend
        that leaves root once its seat is open: everything readable, the ioctl
        sockets connectable (umockdev's library connects to a device's ioctl
        socket even when opening the node itself failed, and ends the process
        if it cannot), and each node root:INPUT_GROUP, 0660, as udev makes
        them (0600 when locked, 0666 once open to others)."""
        os.chmod(self.root, 0o777 if self._shared else 0o755)
        for folder, dirs, files in os.walk(self.root):
            for name in dirs:
                os.chmod(Path(folder) / name, 0o755)
            for name in files:
                path = Path(folder) / name
                if not path.is_symlink():
                    os.chmod(path, 0o666 if path.is_socket() else 0o644)
        for device in self.devices:
            self._set_node_mode(device)

    def _set_node_mode(self, device: devices.Device) -> None:
        node = self._node(device)
        if os.geteuid() == 0:  # only root can give the node to the group
            os.chown(node, 0, INPUT_GROUP)
        os.chmod(node, 0o600 if self.is_locked(device) else 0o666 if self._shared_nodes else 0o660)

    def close(self) -> None:
        """Destroy the test bed.

        Destroying it waits for every replay to finish its current event, and
        a replay whose reader has gone blocks once the pseudo-terminal's
        buffer is full; so the nodes are read empty until it is gone.
        """
        root = self.root
        done = threading.Event()
        drains = [threading.Thread(target=_drain, args=(self.node_target(device), done),
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

    def __enter__(self) -> TestBed:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


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
