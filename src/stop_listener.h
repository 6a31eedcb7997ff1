// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
// Stop-command listener: reads standard input on a thread of its own and tells
// the main loop when the frontend has written the line "stop\n".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>

// How the listener reaches the main loop. The listener never touches the
// library contexts: it sets `requested`, which the drain checks before every
// event, and then makes `fd` readable, which wakes the main loop's poll. The
// main thread alone releases the contexts and returns, so a release can never
// overlap a dispatch or a record being written, each context is released once
// and the process ends once, with every record on standard output complete.
struct stop_signal {
  std::atomic<bool> requested{false};
  int fd = -1;  // an eventfd in the main loop's poll set
};

// Each read takes at most 511 bytes and the terminating zero.
constexpr std::size_t line_size = 512;

// True when `line`, as fgets left it in a buffer of `line_size` bytes, is the
// stop command: exactly "stop\n" and its terminating zero.
bool is_stop_command(const char *line);

// Reads `in` piece by piece until a piece is the stop command (returns true)
// or the input ends or fails (returns false).
bool read_stop_command(FILE *in);

// Creates the eventfd of `signal`; false when it cannot be had.
bool open_stop_signal(struct stop_signal *signal);

// Starts the listener on standard input. Without an eventfd or a thread the
// backend runs on without one, and the stop command has no effect.
void start_stop_listener(struct stop_signal *signal);

// The thread's start routine; its argument is the `stop_signal`.
void *stop_listener(void *signal);
