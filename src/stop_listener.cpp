// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
#include "stop_listener.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

bool is_stop_command(const char *piece, std::size_t length) {
  static const char command[] = "stop\n";
  return length == sizeof command - 1 && std::memcmp(piece, command, length) == 0;
}

// Sleeps until `fd` has something to read.
bool wait_for_input(int fd) {
  struct pollfd entry = {fd, POLLIN, 0};
  while (poll(&entry, 1, -1) < 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Reads what is there, up to `size` bytes; 0 at the end of input or on an
// error that no waiting can mend. A frontend may hand over its pipe
// non-blocking: EAGAIN then means "nothing yet", not the end.
std::size_t read_input(int fd, char *buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = read(fd, buffer, size);
    if (got >= 0) {
      return static_cast<std::size_t>(got);
    }
    if (errno == EINTR || ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_for_input(fd))) {
      continue;
    }
    return 0;
  }
}

void *stop_listener(void *signal) {
  auto *stop = static_cast<struct stop_signal *>(signal);
  if (read_stop_command(STDIN_FILENO)) {
    stop->requested.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    // The eventfd counter cannot overflow from a single write; nothing else
    // can make this fail in a way the listener could mend.
    (void)!write(stop->fd, &one, sizeof one);
  }
  return nullptr;
}

}  // namespace

bool read_stop_command(int fd) {
  // The pieces are cut here rather than by the reads, so that where the
  // frontend's writes or the pipe split the input never changes them.
  char input[4096];
  char piece[line_size - 1];
  std::size_t length = 0;
  for (;;) {
    const std::size_t got = read_input(fd, input, sizeof input);
    if (got == 0) {
      return false;  // a piece left unfinished here is never the command
    }
    for (std::size_t i = 0; i < got; ++i) {
      piece[length++] = input[i];
      if (input[i] == '\n' || length == sizeof piece) {
        if (is_stop_command(piece, length)) {
          return true;
        }
        length = 0;
      }
    }
  }
}

void start_stop_listener(struct stop_signal *signal) {
  signal->fd = eventfd(0, EFD_CLOEXEC);
  if (signal->fd < 0) {
    return;
  }
  pthread_t thread;
  // Nobody waits for the listener: it ends on its own at the end of input, or
  // dies with the process. Detached, its stack is given back when it ends.
  if (pthread_create(&thread, nullptr, stop_listener, signal) == 0) {
    pthread_detach(thread);
  }
}
