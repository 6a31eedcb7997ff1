// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
// Seat input: opens every input device of seat "seat0" through libinput's udev
// backend and runs the main loop that turns their events into records.
#pragma once

// Sets up the seat, starts the stop-command listener and runs until the stop
// command arrives or poll fails. Returns the exit status: 0, or 1 to 5 for the
// start-up failures, each after its message on standard error. Ends the
// process instead, through SIGPIPE, once nobody reads standard output.
int run_seat_input();
