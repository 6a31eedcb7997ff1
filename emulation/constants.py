# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""Numbers and texts that the tests, the benchmark and the demo share."""

# 1000 s after boot: the time of the first event in most replays. Keyboards
# have no timers in libinput, so their events may carry any time; a mouse's
# button debouncing runs on timers, which libinput advances with each event's
# own time, so distant times are fine there too. (The seconds also stay clear
# of the ones whose lowest byte is 0x20, which umockdev's replay mangles.)
START_US = 1_000_000_000

# Upper bounds for things that take well under a second on an idle machine;
# they only decide how long a failing test waits, so they are generous.
RECORD_TIMEOUT = 30.0
EXIT_TIMEOUT = 30.0

# The backend takes its standard input with fgets into 512 bytes: a piece ends
# after a newline or after 511 bytes, whichever comes first, and only a piece
# that is exactly "stop\n" is the command.
PIECE = 511
STOP = b"stop\n"

# What the backend writes on standard error when it could open no device.
NO_DEVICES = ("Expected device added events on startup but got none. "
              "Maybe you don't have the right permissions?\n")

# The other user that permission tests run the backend as, and the user a
# backend started as root becomes once its seat is open.
NOBODY = 65534

# The group that owns the emulated input nodes, as `input` owns them on a real
# system (root:input, 0660): a backend started as root keeps it when it leaves
# root, so that it can open devices plugged in later. A number no system
# account uses, so that the tests never lend a real group's rights.
INPUT_GROUP = 4242

# umockdev's own preloaded library, last in LD_PRELOAD.
UMOCKDEV_PRELOAD = "libumockdev-preload.so.0"

# Far more than a pipe holds unless told otherwise, so that one read takes
# everything there is.
READ_SIZE = 1 << 20

# What AddressSanitizer, LeakSanitizer, ThreadSanitizer and
# UndefinedBehaviorSanitizer put in every report. A report must fail the test
# even where the exit status goes unchecked, or where the sanitizer is not
# told to halt and the run goes on as if nothing had happened.
SANITIZER_MARKS = ("AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:")
