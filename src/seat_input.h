// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
// Seat input: opens every input device of seat "seat0" through libinput's udev
// backend and runs the main loop that turns their events into records.
#pragma once

struct libinput;
struct udev;

// Both library contexts of the run, created by the main thread and released
// by it alone, the libinput context before the udev context.
struct input_handles {
  struct udev *udev;
  struct libinput *input;
};

// libinput's device-access callbacks: a node that cannot be opened gives one
// message on standard error and the negated errno.
int open_restricted(const char *path, int flags, void *user_data);
void close_restricted(int fd, void *user_data);

// Sets up the seat, starts the stop-command listener and runs until the stop
// command arrives or poll fails. Returns the exit status: 0, or 1 to 4 for the
// start-up failures, each after its message on standard error.
int run_seat_input();
