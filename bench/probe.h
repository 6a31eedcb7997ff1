// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
/* Layout of the benchmark probe's shared log (see probe.c);
 * bench/measure_probe.py reads the same layout with struct.unpack. */
#pragma once
#include <stdint.h>

#define PROBE_MAGIC 0x65626f7270786c74ull /* "tlxprobe" */

enum { PROBE_FRAME = 1, PROBE_KEY = 2, PROBE_WRITE = 3 };
enum { PROBE_DEVICES = 64 };

struct probe_entry {
  uint64_t t_ns;
  uint64_t value;
  uint64_t kind;
};

struct probe_log {
  uint64_t magic;
  uint64_t capacity;
  uint64_t pid;
  uint64_t started_ns;    /* the probe's constructor ran */
  uint64_t first_poll_ns; /* the main thread's first poll() without time-out */
  uint64_t input_bytes;   /* read from emulated input nodes */
  uint64_t frames;        /* SYN_REPORTs among them */
  uint64_t keys;          /* key and button events taken from libinput */
  uint64_t writes;        /* records written on standard output */
  uint64_t entries;       /* entries noted (may exceed capacity) */
  uint64_t reads;         /* reads of emulated input nodes that returned data */
  uint64_t seat_ns;       /* libinput_udev_assign_seat() returned: the devices are open */
  uint64_t thread_ns;     /* the first pthread_create() after that: the backend is contained */
  uint64_t reserved[3];
  /* Bytes read from /dev/input/event<N>, by N: the replay uses them to keep
   * its writes within what the emulated device's terminal buffer holds. */
  uint64_t device_bytes[PROBE_DEVICES];
  struct probe_entry log[];
};
