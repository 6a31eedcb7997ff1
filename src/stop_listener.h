// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
// Stop-command listener: reads standard input on a thread of its own and tells
// the main loop when the frontend has written the line "stop\n".
#pragma once

#include <atomic>
#include <cstddef>

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

// Input is taken in pieces of at most this many bytes less one, as a line
// buffer of this size with its terminating zero would hold them: a piece ends
// after a newline or once it is 511 bytes long.
constexpr std::size_t line_size = 512;

// Reads `fd` piece by piece until a piece is exactly "stop\n" (returns true)
// or the input ends or fails (returns false). A descriptor that was handed
// over non-blocking is waited on rather than taken for the end of input.
bool read_stop_command(int fd);

// Starts the listener on standard input. Without an eventfd or a thread the
// backend runs on without one, and the stop command has no effect.
void start_stop_listener(struct stop_signal *signal);
