// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
#include "seat_input.h"

#include "containment.h"
#include "event_records.h"
#include "stop_listener.h"

#include <fcntl.h>
#include <libinput.h>
#include <libudev.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Both library contexts of the run, created by the main thread and released
// by it alone, the libinput context before the udev context.
struct input_handles {
  struct udev *udev;
  struct libinput *input;
};

// The group that may read the input nodes opened at start-up, so that a
// backend started as root can give up root and still open the nodes of
// devices plugged in later; no_node_group when they have none or disagree.
gid_t node_group = no_node_group;
bool node_group_seen = false;

void note_node_group(int fd) {
  struct stat node {};
  if (fstat(fd, &node) != 0 || !S_ISCHR(node.st_mode)) {
    return;
  }
  const gid_t group = (node.st_mode & S_IRGRP) != 0 ? node.st_gid : no_node_group;
  node_group = !node_group_seen || node_group == group ? group : no_node_group;
  node_group_seen = true;
}

// libinput's device-access callbacks: a node that cannot be opened gives one
// message on standard error and the negated errno. Nodes are opened
// read-only, whatever libinput asks for: the backend only reads events, and
// a node it cannot write to is one it can never type into.
int open_restricted(const char *path, int flags, void * /*user_data*/) {
  const int fd = open(path, (flags & ~O_ACCMODE) | O_RDONLY);
  if (fd < 0) {
    const int error = errno;
    std::fprintf(stderr, "Failed to open %s because of %s.\n", path, std::strerror(error));
    return -error;
  }
  note_node_group(fd);
  return fd;
}

void close_restricted(int fd, void * /*user_data*/) { close(fd); }

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
// dispatches once per wake-up. Returns on the stop command or when poll fails.
void run_main_loop(struct libinput *input, struct record_output *output) {
  enum { input_entry, stop_entry, output_entry, entries };
  struct pollfd fds[entries] = {};
  fds[input_entry] = {libinput_get_fd(input), POLLIN, 0};
  fds[stop_entry] = {stop.fd, POLLIN, 0};  // a negative fd (no listener) is ignored by poll
  // Asked for nothing, standard output still reports POLLERR (a pipe) or
  // POLLHUP (a socket, a terminal) once its reader has gone: the backend
  // then ends at once rather than at the next key, which may be hours away.
  fds[output_entry] = {output->fd, 0, 0};
  for (;;) {
    if (poll(fds, entries, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (stop_was_requested()) {
      return;
    }
    if ((fds[output_entry].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      end_without_reader();
    }
    if (libinput_dispatch(input) == 0) {
      handle_events(input, output, &stop.requested);
    }
  }
}

}  // namespace

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
  // The devices present are open and libinput has read what it reads once.
  // From here on the backend needs nothing but to report, and the listener
  // thread, started next, inherits the containment.
  if (!contain_process(node_group)) {
    std::fputs("Failed to drop privileges.\n", stderr);
    release_handles(&handles);
    return 5;
  }
  start_stop_listener(&stop);

  struct record_output output = {STDOUT_FILENO, write, false};
  // libinput has queued a device-added event for every device it opened, so
  // an empty first drain means none could be opened. A stop command read in
  // the meantime still ends the run as asked.
  const bool started = libinput_dispatch(handles.input) >= 0 &&
                       handle_events(handles.input, &output, &stop.requested) == 0;
  if (!started && !stop_was_requested()) {
    std::fputs(
        "Expected device added events on startup but got none. "
        "Maybe you don't have the right permissions?\n",
        stderr);
    release_handles(&handles);
    return 4;
  }
  run_main_loop(handles.input, &output);
  release_handles(&handles);
  return 0;
}
