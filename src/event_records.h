// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
// Event records: the JSON lines the frontend reads, one per key or button event.
#pragma once

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

// Drains what libinput has already queued, writing one record per key or
// button event and flushing standard output after every event. Returns 0 when
// at least one event was taken from the queue, -1 when it was empty. Stops
// before the next event once `stop_requested` is set, so that no record begins
// after the stop command has been read.
int handle_events(struct libinput *input, const std::atomic<bool> *stop_requested);
