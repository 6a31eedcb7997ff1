// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
/*
 * The floor of the benchmark: the least a program can do to take every event
 * of seat0 from libinput. It sets the seat up exactly as the backend does
 * (udev context, libinput's udev backend with open/close callbacks, seat0),
 * sleeps in poll on the libinput descriptor, dispatches once per wake-up and
 * takes and destroys every queued event. It writes nothing per event; the
 * number of key and button events it saw is printed once at exit so that the
 * benchmark can check it missed none.
 *
 * SIGINT or SIGTERM ends it cleanly (through a signalfd in the same poll, so
 * no thread and no wake-up while idle).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <libinput.h>
#include <libudev.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/signalfd.h>
#include <unistd.h>

static int open_restricted(const char *path, int flags, void *user_data) {
  (void)user_data;
  int fd = open(path, flags);
  return fd < 0 ? -errno : fd;
}

static void close_restricted(int fd, void *user_data) {
  (void)user_data;
  close(fd);
}

static const struct libinput_interface access_callbacks = {
    open_restricted,
    close_restricted,
};

static unsigned long long keys;

static void drain(struct libinput *input) {
  struct libinput_event *event;
  while ((event = libinput_get_event(input)) != NULL) {
    enum libinput_event_type type = libinput_event_get_type(event);
    if (type == LIBINPUT_EVENT_KEYBOARD_KEY || type == LIBINPUT_EVENT_POINTER_BUTTON) keys++;
    libinput_event_destroy(event);
  }
}

int main(void) {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, NULL);
  int stop_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);

  struct udev *udev = udev_new();
  if (!udev) return 1;
  struct libinput *input = libinput_udev_create_context(&access_callbacks, NULL, udev);
  if (!input) return 2;
  if (libinput_udev_assign_seat(input, "seat0") != 0) return 3;
  if (libinput_dispatch(input) == 0) drain(input);

  struct pollfd fds[] = {
      {libinput_get_fd(input), POLLIN, 0},
      {stop_fd, POLLIN, 0},
  };
  while (poll(fds, 2, -1) >= 0 && !(fds[1].revents & POLLIN)) {
    if (libinput_dispatch(input) == 0) drain(input);
  }

  libinput_unref(input);
  udev_unref(udev);
  printf("keys %llu\n", keys);
  return 0;
}
