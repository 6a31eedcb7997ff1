// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
/*
 * Test-only helper, preloaded into the backend to make one step of its input
 * set-up fail, so that the tests can see the exit status and message of each
 * start-up failure without breaking the machine's udev or libinput.
 *
 * TAPOLUX_FAIL names the step: udev_new, libinput_udev_create_context or
 * libinput_udev_assign_seat. That function then reports failure the way the
 * library itself would (a null context, or -1); every other call, and every
 * call when TAPOLUX_FAIL is unset, goes to the real library.
 *
 * TAPOLUX_FAIL=interrupt instead makes every poll(), and every read() of
 * standard input, fail once with EINTR before the call that retries it goes
 * through: what a signal handler installed without SA_RESTART (by a
 * preloaded library, say) does to the backend's waits.
 */
#define _GNU_SOURCE

#include <errno.h>
#include <libinput.h>
#include <libudev.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "wrap.h"

static int should_fail(const char *name) {
  const char *which = getenv("TAPOLUX_FAIL");
  return which && strcmp(which, name) == 0;
}

struct udev *udev_new(void) {
  if (should_fail("udev_new")) return NULL;
  return REAL(udev_new)();
}

struct libinput *libinput_udev_create_context(const struct libinput_interface *interface,
                                              void *user_data, struct udev *udev) {
  if (should_fail("libinput_udev_create_context")) return NULL;
  return REAL(libinput_udev_create_context)(interface, user_data, udev);
}

int libinput_udev_assign_seat(struct libinput *libinput, const char *seat_id) {
  if (should_fail("libinput_udev_assign_seat")) return -1;
  return REAL(libinput_udev_assign_seat)(libinput, seat_id);
}

/* Whether this thread's next wait is to be interrupted: every other one. */
static __thread int interrupt_next = 1;

static int interrupted(void) {
  if (!should_fail("interrupt")) return 0;
  interrupt_next = !interrupt_next;
  if (interrupt_next) return 0;
  errno = EINTR;
  return 1;
}

int poll(struct pollfd *fds, nfds_t count, int timeout) {
  if (interrupted()) return -1;
  NEXT(poll);
  return next_fn(fds, count, timeout);
}

ssize_t read(int fd, void *buffer, size_t size) {
  if (fd == STDIN_FILENO && interrupted()) return -1;
  NEXT(read);
  return next_fn(fd, buffer, size);
}
