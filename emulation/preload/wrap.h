// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
/*
 * What every preloaded module of the emulation (and the benchmark's probe)
 * needs to wrap a C library or libinput function: the next definition of the
 * symbol after the module, and the open() family with its optional mode.
 *
 * Include it after defining _GNU_SOURCE (for RTLD_NEXT). A module that wraps
 * open and open64 must also #undef _FILE_OFFSET_BITS before any include, or
 * the headers make the two one symbol; and #undef _FORTIFY_SOURCE, or they
 * wrap open() inline.
 */
#pragma once

#ifndef _GNU_SOURCE
#error "define _GNU_SOURCE before including wrap.h"
#endif

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/types.h>

/* Declares next_fn, the next definition of `name` after this module, looked
 * up once; ends the process if there is none. A statement: use it inside the
 * wrapper. */
#define NEXT(name)                                                                  \
  static __typeof__(&name) next_fn;                                                 \
  if (!next_fn) next_fn = __extension__(__typeof__(&name)) dlsym(RTLD_NEXT, #name); \
  if (!next_fn) abort()

/* The next definition of `name` after this module, looked up on each call:
 * an expression, for wrappers called a few times in a run. */
#define REAL(name) (__extension__(__typeof__(&name)) dlsym(RTLD_NEXT, #name))

/* Declares `mode`: open()'s third argument, which is there only when the call
 * may create a file, else 0. */
#define MODE_ARG(flags, mode)            \
  mode_t mode = 0;                       \
  if ((flags) & (O_CREAT | O_TMPFILE)) { \
    va_list ap;                          \
    va_start(ap, flags);                 \
    mode = va_arg(ap, mode_t);           \
    va_end(ap);                          \
  }

/* The fortified entry points that _FORTIFY_SOURCE builds call instead of
 * open(); glibc's headers declare them only for their own inline wrappers. */
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);

/* The longest path a MAP function of WRAP_OPEN_FAMILY may write. */
enum { WRAP_PATH_MAX = 4096 };

/* A MAP function for WRAP_OPEN_FAMILY that leaves every path as it is. */
static inline const char *wrap_same_path(const char *path, char *buf) {
  (void)buf;
  return path;
}

/* Defines open, open64, __open_2, __open64_2, openat and openat64. Each opens
 * MAP(path, buf) through the next definition and returns OPENED(fd, path),
 * with the path as the caller gave it, where the module defines
 *   const char *MAP(const char *path, char buf[WRAP_PATH_MAX]): the path to
 *       open, `path` itself or a rewritten one written into buf;
 *   int OPENED(int fd, const char *path): sees each result, returns it. */
#define WRAP_OPEN_FAMILY(MAP, OPENED)   \
  WRAP_OPEN_(open, MAP, OPENED)         \
  WRAP_OPEN_(open64, MAP, OPENED)       \
  WRAP_OPEN_2_(__open_2, MAP, OPENED)   \
  WRAP_OPEN_2_(__open64_2, MAP, OPENED) \
  WRAP_OPENAT_(openat, MAP, OPENED)     \
  WRAP_OPENAT_(openat64, MAP, OPENED)

#define WRAP_OPEN_(name, MAP, OPENED)                               \
  int name(const char *path, int flags, ...) {                      \
    MODE_ARG(flags, mode);                                          \
    NEXT(name);                                                     \
    char wrap_buf[WRAP_PATH_MAX];                                   \
    return OPENED(next_fn(MAP(path, wrap_buf), flags, mode), path); \
  }

#define WRAP_OPEN_2_(name, MAP, OPENED)                       \
  int name(const char *path, int flags) {                     \
    NEXT(name);                                               \
    char wrap_buf[WRAP_PATH_MAX];                             \
    return OPENED(next_fn(MAP(path, wrap_buf), flags), path); \
  }

#define WRAP_OPENAT_(name, MAP, OPENED)                                    \
  int name(int dirfd, const char *path, int flags, ...) {                  \
    MODE_ARG(flags, mode);                                                 \
    NEXT(name);                                                            \
    char wrap_buf[WRAP_PATH_MAX];                                          \
    return OPENED(next_fn(dirfd, MAP(path, wrap_buf), flags, mode), path); \
  }
