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
 */
#define _GNU_SOURCE

#include <libinput.h>
#include <libudev.h>
#include <stdlib.h>
#include <string.h>

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
