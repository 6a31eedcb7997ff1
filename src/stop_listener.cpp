// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
#include "stop_listener.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

bool is_stop_command(const char *line) {
  static const char command[] = "stop\n";
  // Comparing the terminating zero too means a longer piece never matches.
  return std::memcmp(line, command, sizeof command) == 0;
}

bool read_stop_command(FILE *in) {
  char line[line_size];
  while (std::fgets(line, sizeof line, in) != nullptr) {
    if (is_stop_command(line)) {
      return true;
    }
  }
  return false;  // end of input or a read error: only the listener ends
}

bool open_stop_signal(struct stop_signal *signal) {
  signal->fd = eventfd(0, EFD_CLOEXEC);
  return signal->fd >= 0;
}

void *stop_listener(void *signal) {
  auto *stop = static_cast<struct stop_signal *>(signal);
  if (read_stop_command(stdin)) {
    stop->requested.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    // The eventfd counter cannot overflow from a single write; nothing else
    // can make this fail in a way the listener could mend.
    (void)!write(stop->fd, &one, sizeof one);
  }
  return nullptr;
}

void start_stop_listener(struct stop_signal *signal) {
  if (!open_stop_signal(signal)) {
    return;
  }
  pthread_t thread;
  // Nobody waits for the listener: it ends on its own at the end of input, or
  // dies with the process. Detached, its stack is given back when it ends.
  if (pthread_create(&thread, nullptr, stop_listener, signal) == 0) {
    pthread_detach(thread);
  }
}
