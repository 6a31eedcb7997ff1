// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
// Event records: the JSON lines the frontend reads, one per key or button event.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

struct libinput;

// Large enough for the longest record: the longest name libevdev knows is far
// below 64 bytes and every number fits in 11 characters.
constexpr std::size_t record_size = 256;

// Writes the record of a keyboard-key (type 300) or pointer-button (type 402)
// event into `buffer` and returns its length, or 0 for any other event type.
// Pure apart from libevdev's static name table, so it is tested on its own.
std::size_t format_record(char *buffer, std::size_t size, int event_type, std::uint32_t time,
                          std::uint32_t code, int state);

// Where the records go: standard output through write(2) in the backend, a
// fake in the tests.
struct record_output {
  int fd;
  ssize_t (*write)(int fd, const void *data, std::size_t size);
  // A record could be written only in part (a full disk, say): the next one
  // must start on a line of its own rather than be glued onto the cut one.
  bool line_open;
};

enum class write_outcome {
  written,      // the whole record is out
  failed,       // it could not be written, or only in part; the next may be
  reader_gone,  // nobody reads standard output any more
};

// Writes one record, whole: a short write is completed, an interrupted one
// retried, and a non-blocking descriptor without room is waited on, as a
// blocking one would wait.
write_outcome write_record(struct record_output *output, const char *record, std::size_t length);

// The drain: takes what libinput has already queued, writing one record per
// key or button event. Returns 0 when at least one event was taken from the
// queue, -1 when it was empty. Stops before the next event once
// `stop_requested` is set, so that no record begins after the stop command
// has been read.
int handle_events(struct libinput *input, struct record_output *output,
                  const std::atomic<bool> *stop_requested);

// Ends the process the way a record meeting a closed pipe ends it: through
// SIGPIPE's default action.
[[noreturn]] void end_without_reader();
