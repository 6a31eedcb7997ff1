// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
/*
 * Test-only helper, preloaded in front of umockdev's own library
 * (LD_PRELOAD=umockdev_fixes.so:libumockdev-preload.so.0). It mends three gaps
 * of umockdev 0.17.16 that keep libinput from accepting an emulated device:
 *
 * 1. libudev looks up every device in the udev database under /run/udev
 *    (libinput skips a device without an entry as unconfigured). This
 *    umockdev does not redirect that folder, and the tests must not write
 *    into the machine's own, so /run/udev/... is sent to
 *    $UMOCKDEV_DIR/run/udev/..., where the fixtures write their entries.
 *
 * 2. libinput fstat()s the descriptor it got from open_restricted and checks
 *    the device number. umockdev's library wraps stat() but not fstat(), so
 *    for an emulated node fstat describes the pseudo-terminal behind it and
 *    libinput drops the device. Descriptors opened from /dev/input/... are
 *    remembered here and their fstat is answered with a stat of their path,
 *    which umockdev does answer correctly.
 *
 * 3. evdev only ever hands out whole input events, but the pseudo-terminal
 *    behind an emulated node hands out whatever it holds, and under a fast
 *    replay that can end inside an event (its buffer stops at 4095 bytes).
 *    libevdev then fails the read and libinput quietly stops reading the
 *    device. A read of a /dev/input descriptor that ends inside an event
 *    waits here for the rest of that event, which the replay is writing.
 *
 * Everything else is forwarded unchanged to the next library (umockdev's,
 * then the C library) through dlsym(RTLD_NEXT).
 *
 * The set of wrapped functions is what libudev, libinput, libevdev and the
 * backend import on glibc 2.36 (nm -D --undefined-only); glibc >= 2.33 has
 * real stat/fstat symbols, so the old __xstat/__fxstat entry points are not
 * called by anything here and are left alone.
 */
#undef _FILE_OFFSET_BITS /* define open and open64 as two symbols, not one */
#undef _FORTIFY_SOURCE   /* no inline wrappers around open() */
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <linux/input.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "wrap.h"

/* --- 1. /run/udev into the test bed --- */

static const char *redirect(const char *path, char *buf) {
  static const char prefix[] = "/run/udev";
  const char *root = getenv("UMOCKDEV_DIR");

  if (!root || !path || strncmp(path, prefix, sizeof prefix - 1) != 0) return path;
  if (path[sizeof prefix - 1] != '\0' && path[sizeof prefix - 1] != '/')
    return path; /* /run/udevfoo is not ours */
  if ((size_t)snprintf(buf, WRAP_PATH_MAX, "%s%s", root, path) >= WRAP_PATH_MAX) return path;
  return buf;
}

#define REDIRECT(path)              \
  char redirect_buf[WRAP_PATH_MAX]; \
  path = redirect(path, redirect_buf)

/* --- 2. remember descriptors of emulated input nodes --- */

enum { TRACKED_FDS = 1024 };
static char *tracked_path[TRACKED_FDS];

static void forget(int fd) {
  if (fd >= 0 && fd < TRACKED_FDS)
    free(__atomic_exchange_n(&tracked_path[fd], NULL, __ATOMIC_ACQ_REL));
}

static int track(int fd, const char *path) {
  if (fd >= 0 && fd < TRACKED_FDS && path && strncmp(path, "/dev/input/", 11) == 0)
    free(__atomic_exchange_n(&tracked_path[fd], strdup(path), __ATOMIC_ACQ_REL));
  return fd;
}

static const char *tracked(int fd) {
  return fd >= 0 && fd < TRACKED_FDS ? __atomic_load_n(&tracked_path[fd], __ATOMIC_ACQUIRE) : NULL;
}

/* The paths as the caller gave them are tracked: umockdev rewrites them only
 * further down. */
WRAP_OPEN_FAMILY(redirect, track)

int close(int fd) {
  NEXT(close);
  forget(fd);
  return next_fn(fd);
}

#define WRAP_FSTAT(name, stat_name, stat_type) \
  int name(int fd, struct stat_type *st) {     \
    const char *path = tracked(fd);            \
    if (path) return stat_name(path, st);      \
    NEXT(name);                                \
    return next_fn(fd, st);                    \
  }
WRAP_FSTAT(fstat, stat, stat)
WRAP_FSTAT(fstat64, stat64, stat64)

/* fstatat(fd, "", st, AT_EMPTY_PATH) is fstat by another name. */
#define WRAP_FSTATAT(name, stat_name, stat_type)                               \
  int name(int dirfd, const char *path, struct stat_type *st, int flags) {     \
    const char *node = tracked(dirfd);                                         \
    if (node && (flags & AT_EMPTY_PATH) && !*path) return stat_name(node, st); \
    NEXT(name);                                                                \
    REDIRECT(path);                                                            \
    return next_fn(dirfd, path, st, flags);                                    \
  }
WRAP_FSTATAT(fstatat, stat, stat)
WRAP_FSTATAT(fstatat64, stat64, stat64)

/* --- the remaining path functions, redirected only --- */

#define WRAP_PATH(ret, name, params, args) \
  ret name params {                        \
    NEXT(name);                            \
    REDIRECT(path);                        \
    return next_fn args;                   \
  }
WRAP_PATH(int, stat, (const char *path, struct stat *st), (path, st))
WRAP_PATH(int, stat64, (const char *path, struct stat64 *st), (path, st))
WRAP_PATH(int, lstat, (const char *path, struct stat *st), (path, st))
WRAP_PATH(int, lstat64, (const char *path, struct stat64 *st), (path, st))
WRAP_PATH(int, statx, (int dirfd, const char *path, int flags, unsigned mask, struct statx *st),
          (dirfd, path, flags, mask, st))
WRAP_PATH(int, access, (const char *path, int mode), (path, mode))
WRAP_PATH(int, faccessat, (int dirfd, const char *path, int mode, int flags),
          (dirfd, path, mode, flags))
WRAP_PATH(FILE *, fopen, (const char *path, const char *mode), (path, mode))
WRAP_PATH(FILE *, fopen64, (const char *path, const char *mode), (path, mode))
WRAP_PATH(DIR *, opendir, (const char *path), (path))

/* --- 3. whole input events from emulated nodes --- */

ssize_t read(int fd, void *buf, size_t count) {
  NEXT(read);
  ssize_t got = next_fn(fd, buf, count);
  if (got <= 0 || !tracked(fd)) return got;
  size_t missing = sizeof(struct input_event) - (size_t)got % sizeof(struct input_event);
  if (missing == sizeof(struct input_event) || (size_t)got + missing > count) return got;
  while (missing > 0) {
    struct pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, 5000) <= 0) break; /* the replay has gone: give what we have */
    ssize_t more = next_fn(fd, (char *)buf + got, missing);
    if (more < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (more <= 0) break;
    got += more;
    missing -= (size_t)more;
  }
  return got;
}
