// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
// Feeds arbitrary bytes to the stop-command reader as if they came on
// standard input, and checks it against a model written the obvious way: the
// input is cut into pieces that end after a newline or after 511 bytes, and
// the reader must stop exactly when one of those pieces is "stop\n".
#include "stop_listener.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

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
  if (size == 0) {
    return 0;  // fmemopen wants a buffer; empty input is covered by the unit tests
  }
  std::vector<std::uint8_t> copy(data, data + size);
  FILE *in = fmemopen(copy.data(), copy.size(), "r");
  if (in == nullptr) {
    __builtin_trap();
  }
  const bool stopped = read_stop_command(in);
  std::fclose(in);
  if (stopped != has_stop_piece(data, size)) {
    __builtin_trap();
  }
  return 0;
}
