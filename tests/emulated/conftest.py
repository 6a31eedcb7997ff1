# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Fixtures and hooks of the tests that run the real backend on emulated
devices. The helpers they use are in the emulation kit (the package
`emulation` at the top of the source tree; its API is described in
emulation/__init__.py), which test files import directly.

- `testbed`: a TestBed, destroyed after the test.
- `start_backend(as_nobody=False, **options)`: launches the backend on the
  test bed (emulation.launch, which lists the options) and
  returns the Backend; every backend still running at the end of the test is
  killed, and a sanitizer report on its standard error fails the test.

What a test cannot run for want of a tool, a file or root (the kit raises
Unavailable) is skipped with the reason, unless TAPOLUX_NO_SKIP=1: the
project's own test script sets it, and there a skip is a failure.
"""

from __future__ import annotations

import os
from typing import Iterator

import pytest

from emulation import (UMOCKDEV_PRELOAD, Backend, Programs, TestBed, Unavailable,
                       check_other_user, copies_for_others, launch)

NO_SKIP = os.environ.get("TAPOLUX_NO_SKIP") == "1"


def pytest_configure(config: pytest.Config) -> None:
    if UMOCKDEV_PRELOAD not in os.environ.get("LD_PRELOAD", ""):
        raise pytest.UsageError(
            "these tests must run under umockdev-wrapper: "
            "umockdev-wrapper python3 -m pytest tests/emulated (see emulation/__init__.py)")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """With TAPOLUX_NO_SKIP=1 a skip, whatever its cause, is a failure."""
    outcome = yield
    report = outcome.get_result()
    if NO_SKIP and report.skipped and not hasattr(report, "wasxfail"):
        report.outcome = "failed"
        report.longrepr = f"skipped where every test must run (TAPOLUX_NO_SKIP=1): " \
                          f"{report.longrepr}"


@pytest.fixture(scope="session")
def programs() -> Programs:
    try:
        return Programs.from_environment()
    except Unavailable as why:
        pytest.skip(str(why))


@pytest.fixture(scope="session")
def programs_for_others(programs: Programs) -> Iterator[Programs]:
    """Copies of the programs that another user can reach, made once, on the
    first test that runs the backend as another user."""
    with copies_for_others(programs) as copies:
        yield copies


@pytest.fixture
def testbed() -> Iterator[TestBed]:
    try:
        bed = TestBed()
    except Unavailable as why:
        pytest.skip(str(why))
    yield bed
    bed.close()


@pytest.fixture
def start_backend(testbed: TestBed, programs: Programs, request: pytest.FixtureRequest):
    """A function that launches the backend on the test bed (emulation.launch)."""
    started = []

    def start(*, as_nobody: bool = False, **options) -> Backend:
        try:
            chosen = programs
            if as_nobody:
                check_other_user()
                chosen = request.getfixturevalue("programs_for_others")
            backend = launch(testbed, chosen, as_nobody=as_nobody, **options)
        except Unavailable as why:
            pytest.skip(str(why))
        started.append(backend)
        return backend

    yield start
    for backend in started:
        backend.kill()
    # Only once all are gone, so that a report cannot leave one running.
    for backend in started:
        backend.check_sanitizers()
