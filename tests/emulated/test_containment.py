# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""What the backend can still do once its seat is open: report, and nothing
else, whoever started it and whatever the kernel offers.

The backend is started as root (as pkexec starts it) or as a member of the
group that owns the input nodes, and looked at from /proc and from inside:
the kit's attempts module plays a fault in a library and tries every
forbidden action, from the main thread inside a libinput call and from the
listener on a read of standard input (emulation/preload/attempts.c)."""

from __future__ import annotations

import contextlib
import os
import shutil
import socket
import stat
import subprocess
import tempfile
from pathlib import Path
from typing import Iterator

import pytest

from emulation import (INPUT_GROUP, NOBODY, START_US, Unavailable, check_other_user, devices,
                       hardware, key_changes, launcher, wait_until)
from emulation.records import changes_of

NOGROUP = 65534
NO_CAPABILITIES = "0000000000000000"
KEY_F24 = 194  # the key whose press sets off the attempts on the main thread

# How each backend is started: as root, by pkexec; as root on a system whose
# input nodes no group may read (udev left them root:root 0600); as root on a
# kernel without Landlock; as a member of the nodes' group, without root.
STARTS = {
    "root": dict(),
    "root-nodes-without-group": dict(lock=True),
    "root-without-landlock": dict(preexec="without_landlock"),
    "input-group-member": dict(as_nobody=True, groups=[INPUT_GROUP]),
}


def start(testbed, start_backend, how: str, **options):
    settings = dict(STARTS[how])
    if os.geteuid() != 0:
        pytest.skip("starting the backend as root or as another user needs root")
    if settings.pop("lock", False):
        for device in testbed.devices:
            testbed.lock(device)
    try:
        if settings.get("preexec") == "without_landlock":
            settings["preexec"] = launcher.without_landlock()
        if settings.get("as_nobody"):
            check_other_user()
    except Unavailable as why:
        pytest.skip(str(why))
    return start_backend(**settings, **options)


# --- looked at from /proc ------------------------------------------------------------

def thread_statuses(pid: int) -> dict[int, dict[str, str]]:
    statuses = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        with contextlib.suppress(FileNotFoundError):
            text = Path(f"/proc/{pid}/task/{tid}/status").read_text()
            statuses[int(tid)] = {name: value.strip() for name, value in (
                line.split(":\t", 1) for line in text.splitlines() if ":\t" in line)}
    return statuses


def contained_statuses(backend) -> dict[int, dict[str, str]]:
    """Every thread's status once both threads run (the listener starts
    right after the containment), read while the backend is known to run."""
    pid = backend.proc.pid
    wait_until(lambda: backend.proc.poll() is not None or len(thread_statuses(pid)) >= 2,
               "the listener thread starting")
    assert backend.proc.poll() is None, f"ended early; stderr:\n{backend.stderr}"
    statuses = thread_statuses(pid)
    # Looked at again after the reads: they were of the running backend.
    assert backend.proc.poll() is None, f"ended while read; stderr:\n{backend.stderr}"
    return statuses


@pytest.mark.parametrize("how, uid, gid, groups, bounding", [
    ("root", NOBODY, INPUT_GROUP, "", NO_CAPABILITIES),
    ("root-nodes-without-group", NOBODY, NOGROUP, "", NO_CAPABILITIES),
    ("root-without-landlock", NOBODY, INPUT_GROUP, "", NO_CAPABILITIES),
    # Without CAP_SETPCAP the bounding set cannot shrink; with no_new_privs
    # and exec refused, nothing can ever gain a capability from it.
    ("input-group-member", NOBODY, NOBODY, str(INPUT_GROUP), None),
])
def test_every_thread_is_contained(testbed, start_backend, how, uid, gid, groups, bounding):
    testbed.add(devices.keyboard(0), devices.typed("ab", START_US))
    backend = start(testbed, start_backend, how)
    assert [r["key_name"] for r in backend.read_records(4)] == ["KEY_A"] * 2 + ["KEY_B"] * 2
    statuses = contained_statuses(backend)
    for tid, status in statuses.items():
        seen = {name: status[name] for name in (
            "Uid", "Gid", "Groups", "CapInh", "CapPrm", "CapEff", "CapAmb", "NoNewPrivs",
            "Seccomp")}
        assert seen == {
            "Uid": "\t".join([str(uid)] * 4), "Gid": "\t".join([str(gid)] * 4),
            "Groups": groups, "CapInh": NO_CAPABILITIES, "CapPrm": NO_CAPABILITIES,
            "CapEff": NO_CAPABILITIES, "CapAmb": NO_CAPABILITIES, "NoNewPrivs": "1",
            "Seccomp": "2"}, f"thread {tid} of {sorted(statuses)}"
        if bounding is not None:
            assert status["CapBnd"] == bounding, f"thread {tid}"
    assert backend.stop() == []


def test_input_nodes_are_held_read_only(testbed, start_backend):
    keyboard = testbed.add(devices.keyboard(0), devices.typed("a", START_US))
    backend = start(testbed, start_backend, "root")
    backend.read_records(2)
    mouse = testbed.plug(devices.mouse(1), devices.clicks([devices.BTN_LEFT], START_US))
    backend.read_records(2)
    targets = {testbed.node_target(device) for device in (keyboard, mouse)}
    fd_dir = f"/proc/{backend.proc.pid}/fd"
    modes = {}
    for fd in os.listdir(fd_dir):
        with contextlib.suppress(FileNotFoundError):
            if os.readlink(f"{fd_dir}/{fd}") in targets:
                flags = Path(f"/proc/{backend.proc.pid}/fdinfo/{fd}").read_text()
                modes[fd] = int(flags.split("flags:\t", 1)[1].split()[0], 8) & os.O_ACCMODE
    assert backend.proc.poll() is None, backend.stderr
    assert len(modes) == 2 and set(modes.values()) == {os.O_RDONLY}, modes
    assert backend.stop() == []


# --- tried from inside ---------------------------------------------------------------

class Targets:
    """What the attempts aim at, and the state of each before: a root-owned
    file, a root-only file, a file anyone may read, a folder anyone may
    write to, a root-only Unix socket that listens, and a root process."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        folder.chmod(0o755)
        self.file = folder / "file"
        self.file.write_text("root's own\n")
        self.file.chmod(0o644)
        self.secret = folder / "secret"
        self.secret.write_text("root's secret\n")
        self.secret.chmod(0o600)
        self.public = folder / "public"
        self.public.write_text("anyone's\n")
        self.public.chmod(0o644)
        self.open_folder = folder / "open"
        self.open_folder.mkdir()
        self.open_folder.chmod(0o1777)
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.socket_path = folder / "socket"
        self.server.bind(str(self.socket_path))
        self.socket_path.chmod(0o600)
        self.server.listen(1)
        self.server.setblocking(False)
        self.victim = subprocess.Popen(["sleep", "600"])

    def environment(self) -> dict[str, str]:
        return {"TAPOLUX_ATTEMPT_FILE": str(self.file),
                "TAPOLUX_ATTEMPT_SECRET": str(self.secret),
                "TAPOLUX_ATTEMPT_PUBLIC": str(self.public),
                "TAPOLUX_ATTEMPT_DIR": str(self.open_folder),
                "TAPOLUX_ATTEMPT_SOCKET": str(self.socket_path),
                "TAPOLUX_ATTEMPT_VICTIM": str(self.victim.pid)}

    def check_unchanged(self) -> None:
        """Nothing the attempts aimed at has changed."""
        assert self.file.read_text() == "root's own\n"
        assert stat.S_IMODE(self.file.stat().st_mode) == 0o644
        assert sorted(p.name for p in self.folder.iterdir()) == [
            "file", "open", "public", "secret", "socket"]
        assert list(self.open_folder.iterdir()) == [], "something was made in the open folder"
        assert self.victim.poll() is None, "the root process was ended"
        state = Path(f"/proc/{self.victim.pid}/status").read_text()
        assert "\nTracerPid:\t0\n" in state and "(stopped)" not in state, state
        assert os.getpriority(os.PRIO_PROCESS, self.victim.pid) == 0, "reprioritised"
        with pytest.raises(BlockingIOError):
            self.server.accept()
        assert f" {self.open_folder} " not in Path("/proc/self/mounts").read_text(), "mounted"

    def close(self) -> None:
        self.victim.kill()
        self.victim.wait()
        self.server.close()


@pytest.fixture
def targets() -> Iterator[Targets]:
    if os.geteuid() != 0:
        pytest.skip("root's files and processes are the targets: needs root")
    folder = Path(tempfile.mkdtemp(prefix="tapolux-targets-"))
    made = Targets(folder)
    yield made
    made.close()
    shutil.rmtree(folder)


ACTIONS = [
    "append-to-file", "create-file", "truncate-file", "rename-file", "remove-file",
    "make-folder", "link-file", "read-secret-file", "read-public-file", "make-inet-socket",
    "make-unix-socket", "connect-root-socket", "ptrace", "process-vm-read",
    "kill-other", "tgkill-other", "reprioritise-other", "mount", "new-namespace",
    "load-module", "bpf", "keyctl", "io-uring", "perf-event", "setuid-root", "setgid-root",
    "write-to-device", "reopen-device-for-writing", "grab-device", "type-into-terminal", "exec",
]


def outcomes(stderr: str, thread: str) -> dict[str, str]:
    found = {}
    for line in stderr.splitlines():
        words = line.split(" ", 3)
        if len(words) == 4 and words[0] == "attempt" and words[1] == thread:
            found[words[2]] = words[3]
    return found


@pytest.mark.parametrize("how", STARTS)
def test_a_fault_inside_can_do_nothing_but_report(testbed, start_backend, targets, how):
    # F24 sets the main thread's attempts off inside the drain; the keys
    # around it must come out exactly as typed, the attempts
    # notwithstanding.
    before = devices.typed("ab", START_US)
    trigger = devices.taps([KEY_F24], devices.end_of(before) + 20_000)
    after = devices.typed("cd", devices.end_of(trigger) + 1_000_000)
    testbed.add(devices.keyboard(0), before + trigger + after)
    backend = start(testbed, start_backend, how, attempts=targets.environment())
    backend.send(b"attempt\n")
    wait_until(lambda: "attempts listener over" in backend.stderr or backend.proc.poll() is not None,
               "the listener's attempts")
    records = backend.read_records(len(key_changes(before + trigger + after)))
    wait_until(lambda: "attempts main over" in backend.stderr, "the main thread's attempts")
    assert backend.stop() == []
    assert changes_of(records) == key_changes(before + trigger + after)
    targets.check_unchanged()
    for thread in ("main", "listener"):
        seen = outcomes(backend.stderr, thread)
        assert sorted(seen) == sorted(ACTIONS), backend.stderr
        allowed = {action: result for action, result in seen.items()
                   if not result.startswith("refused")}
        # Without Landlock nothing keeps an unprivileged process from files
        # that anyone may read.
        expected = {"read-public-file": "done"} if how == "root-without-landlock" else {}
        assert allowed == expected, f"{thread}: {seen}"


# --- devices plugged in later --------------------------------------------------------

def test_devices_plugged_in_later_are_reported_inside_the_containment(testbed, start_backend):
    first = testbed.add(devices.keyboard(0), devices.typed("a", START_US))
    backend = start(testbed, start_backend, "root")
    backend.read_records(2)
    assert all(s["Seccomp"] == "2" for s in contained_statuses(backend).values())
    for device, events in [
        (devices.keyboard(1), devices.typed("xy", START_US)),
        (devices.mouse(2), devices.clicks([devices.BTN_LEFT, devices.BTN_RIGHT], START_US)),
    ]:
        testbed.plug(device, events)
        assert changes_of(backend.read_records(len(key_changes(events)))) == key_changes(events)
    # A tablet makes libinput read libwacom's database again, and libwacom
    # scan sysfs; its pen writes no record, so the node held open, and the
    # keys that follow, show that it was added and did no harm. (Each plug
    # may leave a "Failed to open" line: umockdev announces a node before
    # the kit can give it a real system's owner, and the kit announces it
    # again once it has.)
    tablet = hardware.pen_tablet(3)
    testbed.plug(tablet)
    wait_until(lambda: testbed.node_target(tablet) in backend.open_files()
               or backend.proc.poll() is not None, "the tablet's node being opened")
    later = devices.typed("z", 0)
    hardware.play(testbed, {first: later})
    assert [(r["key_code"], r["state_code"]) for r in backend.read_records(2)] == [
        (code, state) for code, state, _ in key_changes(later)]
    assert "libwacom" not in backend.stderr, backend.stderr
    assert backend.stop() == []


def test_without_a_node_group_devices_plugged_in_later_stay_closed(testbed, start_backend):
    testbed.add(devices.keyboard(0), devices.typed("a", START_US))
    backend = start(testbed, start_backend, "root-nodes-without-group")
    backend.read_records(2)
    # The backend left root for nobody with no group of the nodes': it cannot
    # open the new node, says so, and goes on with the devices it has.
    late = testbed.plug(devices.keyboard(1))
    wait_until(lambda: f"Failed to open {late.devnode} because of Permission denied.\n"
               in backend.stderr, "the open failure of the late device")
    assert backend.proc.poll() is None
    assert backend.stop() == []
