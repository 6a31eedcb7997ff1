// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
/*
 * Test-only helper, preloaded in front of umockdev's own library
 * (LD_PRELOAD=umockdev_fixes.so:libumockdev-preload.so.0). It mends five gaps
 * of umockdev 0.17.16 that keep libinput from accepting an emulated device,
 * or a contained backend from using one:
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
 * 4. On every open of an emulated node umockdev makes a Unix socket and
 *    connects it to the node's ioctl socket in the test bed; it ends the
 *    process if it cannot. A contained backend may make no socket, so a
 *    device plugged in later would end it. Sockets are made here before
 *    main() and handed to umockdev when its own socket() call is refused.
 *    umockdev takes socket() from the C library through dlsym(), past any
 *    preloaded wrapper, so it is dlsym() that is wrapped.
 *
 * 5. The backend opens /dev/input with O_PATH to let its Landlock rules
 *    cover the nodes there. umockdev takes that open for one of a node and
 *    ends the process, since the folder has no ioctl socket; and an emulated
 *    node is a link to a pseudo-terminal, which Landlock judges by where the
 *    link leads. So that open is given /dev/pts, where the nodes lead.
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

/* --- 1. /run/udev into the test bed (and 5. /dev/input to the terminals) --- */

/* Set while this thread opens an input node: only umockdev's socket for that
 * node gets a spare one (4), never a socket the backend itself asks for. */
static __thread int opening_node;

static const char *redirect(const char *path, char *buf) {
  static const char prefix[] = "/run/udev";
  const char *root = getenv("UMOCKDEV_DIR");

  if (root && path && strcmp(path, "/dev/input") == 0) return "/dev/pts";
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
  opening_node = 0;
  if (fd >= 0 && fd < TRACKED_FDS && path && strncmp(path, "/dev/input/", 11) == 0)
    free(__atomic_exchange_n(&tracked_path[fd], strdup(path), __ATOMIC_ACQ_REL));
  return fd;
}

static const char *tracked(int fd) {
  return fd >= 0 && fd < TRACKED_FDS ? __atomic_load_n(&tracked_path[fd], __ATOMIC_ACQUIRE) : NULL;
}

/* The paths as the caller gave them are tracked: umockdev rewrites them only
 * further down. */
/* Only the open() family marks a node being opened: a stat() of a node
 * leads to no socket of umockdev's, and the mark would outlive it. */
static const char *redirect_open(const char *path, char *buf) {
  opening_node = path && strncmp(path, "/dev/input/", 11) == 0;
  return redirect(path, buf);
}

WRAP_OPEN_FAMILY(redirect_open, track)

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

/* --- 4. sockets for umockdev once the backend may make none --- */

#include <sys/socket.h>

enum { SPARE_SOCKETS = 16, SPARE_FDS_FROM = 200 };
static int spare[SPARE_SOCKETS];
static int spare_left;
static int (*libc_socket)(int, int, int);
static void *(*real_dlsym)(void *, const char *);

/* A sanitizer's runtime looks its functions up with dlsym before any
 * constructor runs, so the real one is found on first use. */
__attribute__((no_sanitize("address", "thread", "undefined"))) static void find_real_dlsym(void) {
  real_dlsym = __extension__(__typeof__(real_dlsym)) dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.34");
  if (!real_dlsym)
    real_dlsym = __extension__(__typeof__(real_dlsym)) dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.2.5");
}

/* Far above the standard descriptors and whatever the backend opens first,
 * so that a test that starts it with one of those closed sees no change. */
__attribute__((constructor)) static void make_spare_sockets(void) {
  for (int i = 0; i < SPARE_SOCKETS; ++i) {
    int made = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (made < 0) break;
    int moved = fcntl(made, F_DUPFD_CLOEXEC, SPARE_FDS_FROM);
    close(made);
    if (moved < 0) break;
    spare[spare_left++] = moved;
  }
}

__attribute__((no_sanitize("address", "thread", "undefined"))) static int spare_socket(
    int domain, int type, int protocol) {
  int caller_errno = errno; /* umockdev may be about to report a failed open */
  int made = libc_socket(domain, type, protocol);
  int kind = type & ~(SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (made >= 0 || errno != EPERM || !opening_node || domain != AF_UNIX || kind != SOCK_STREAM)
    return made;
  int left = __atomic_load_n(&spare_left, __ATOMIC_ACQUIRE);
  while (left > 0 && !__atomic_compare_exchange_n(&spare_left, &left, left - 1, 0, __ATOMIC_ACQ_REL,
                                                  __ATOMIC_ACQUIRE)) {
  }
  if (left <= 0) return made;
  int fd = spare[left - 1];
  if (type & SOCK_NONBLOCK) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  if (!(type & SOCK_CLOEXEC)) fcntl(fd, F_SETFD, 0);
  errno = caller_errno;
  return fd;
}

/* No strcmp: a sanitizer's interceptor is not ready this early. */
__attribute__((no_sanitize("address", "thread", "undefined"))) static int is_socket(
    const char *name) {
  static const char want[] = "socket";
  for (unsigned i = 0; i < sizeof want; ++i)
    if (name[i] != want[i]) return 0;
  return 1;
}

/* dlsym(RTLD_NEXT, ...) finds the symbol after the object that called it,
 * which the C library learns from its return address: the real dlsym must be
 * reached by a tail call, so that the caller's address is the one it sees. */
__attribute__((no_sanitize("address", "thread", "undefined"), optimize("O2"))) void *dlsym(
    void *handle, const char *name) {
  if (!real_dlsym) find_real_dlsym();
  if (handle != RTLD_NEXT && handle != RTLD_DEFAULT && is_socket(name)) {
    void *found = real_dlsym(handle, name);
    if (found && found != __extension__(void *) spare_socket) {
      libc_socket = __extension__(__typeof__(libc_socket)) found;
      return __extension__(void *) spare_socket;
    }
    return found;
  }
  return real_dlsym(handle, name);
}
