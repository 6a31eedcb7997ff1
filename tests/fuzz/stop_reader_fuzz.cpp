// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
// Feeds arbitrary bytes to the stop-command reader as if they came on
// standard input, and checks it against a model written the obvious way: the
// input is cut into pieces that end after a newline or after 511 bytes, and
// the reader must stop exactly when one of those pieces is "stop\n".
#include "stop_listener.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

bool has_stop_piece(const std::uint8_t *data, std::size_t size) {
  std::size_t start = 0;
  while (start < size) {
    std::size_t end = start;
    while (end < size && end - start < line_size - 1) {
      if (data[end++] == '\n') {
        break;
      }
    }
    if (end - start == 5 && std::memcmp(data + start, "stop\n", 5) == 0) {
      return true;
    }
    start = end;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // The input goes through a pipe, as standard input does: -max_len keeps it
  // far below what a pipe holds without a reader.
  int ends[2];
  if (pipe(ends) != 0 || write(ends[1], data, size) != static_cast<ssize_t>(size)) {
    __builtin_trap();
  }
  close(ends[1]);
  const bool stopped = read_stop_command(ends[0]);
  close(ends[0]);
  if (stopped != has_stop_piece(data, size)) {
    __builtin_trap();
  }
  return 0;
}
