// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
#include "seat_input.h"

#include "event_records.h"
#include "stop_listener.h"

#include <fcntl.h>
#include <libinput.h>
#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const struct libinput_interface device_access = {
    open_restricted,
    close_restricted,
};

// The listener keeps its pointer until the process ends, also after the run
// has returned, so the signal lives for the whole process rather than on the
// run's stack.
struct stop_signal stop;

void release_handles(struct input_handles *handles) {
  libinput_unref(handles->input);
  udev_unref(handles->udev);
}

bool stop_was_requested() { return stop.requested.load(std::memory_order_acquire); }

// Sleeps in poll with no time-out, so an idle backend costs nothing, and
// dispatches once per wake-up. Ends on the stop command or when poll fails.
void handle_input(struct libinput *input) {
  struct pollfd fds[] = {
      {libinput_get_fd(input), POLLIN, 0},
      {stop.fd, POLLIN, 0},  // a negative fd (no listener) is ignored by poll
  };
  while (poll(fds, 2, -1) >= 0 && !stop_was_requested()) {
    if (libinput_dispatch(input) == 0) {
      handle_events(input, &stop.requested);
    }
  }
}

}  // namespace

int open_restricted(const char *path, int flags, void * /*user_data*/) {
  const int fd = open(path, flags);
  if (fd < 0) {
    const int error = errno;
    std::fprintf(stderr, "Failed to open %s because of %s.\n", path, std::strerror(error));
    return -error;
  }
  return fd;
}

void close_restricted(int fd, void * /*user_data*/) { close(fd); }

int run_seat_input() {
  struct input_handles handles {};
  handles.udev = udev_new();
  if (handles.udev == nullptr) {
    std::fputs("Failed to initialize udev.\n", stderr);
    return 1;
  }
  handles.input = libinput_udev_create_context(&device_access, nullptr, handles.udev);
  if (handles.input == nullptr) {
    std::fputs("Failed to initialize libinput from udev.\n", stderr);
    udev_unref(handles.udev);
    return 2;
  }
  if (libinput_udev_assign_seat(handles.input, "seat0") != 0) {
    std::fputs("Failed to set seat.\n", stderr);
    release_handles(&handles);
    return 3;
  }
  start_stop_listener(&stop);

  // libinput has queued a device-added event for every device it opened, so
  // an empty first drain means none could be opened. A stop command read in
  // the meantime still ends the run as asked.
  const bool started =
      libinput_dispatch(handles.input) >= 0 && handle_events(handles.input, &stop.requested) == 0;
  if (!started && !stop_was_requested()) {
    std::fputs(
        "Expected device added events on startup but got none. "
        "Maybe you don't have the right permissions?\n",
        stderr);
    release_handles(&handles);
    return 4;
  }
  if (!stop_was_requested()) {
    handle_input(handles.input);
  }
  release_handles(&handles);
  return 0;
}
