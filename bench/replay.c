// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
/*
 * Feeds key events into emulated input devices for the benchmark.
 *
 * umockdev's own evemu replay is not used for timing: its replay thread
 * writes one input_event at a time, about 40 us apart here, so it cannot
 * outpace any reader (no flood), and it sleeps between events with an
 * overshoot that adds up (its replay drifts behind its own time stamps). This
 * program writes into the same emulated devices (the master side of the
 * pseudo-terminal behind each node, handed over by the test bed) and stamps
 * every frame with the CLOCK_MONOTONIC time at which it is written, so the
 * time stamps the programs see are real.
 *
 * Each key event is the frame that emulation/devices.py's key() makes:
 * MSC_SCAN, EV_KEY, SYN_REPORT (72 bytes). Keys are pressed and released in
 * turn, walking over the letter keys.
 *
 * Two limits of the terminal keep the byte stream aligned on input_events,
 * which libevdev needs (a read of a partial event fails and loses the bytes):
 *  - a write of more than 1792 bytes is split into terminal buffers at
 *    arbitrary offsets, so one write carries at most 24 frames (1728 bytes);
 *  - the line discipline holds 4095 bytes; past that it takes a partial
 *    chunk. The probe in the reading program counts the bytes it has read
 *    from each device, and no more than two writes (3456 bytes) are ever
 *    in flight per device.
 *
 * Usage: replay --probe FILE --keys N [--rate KEYS_PER_S] [--log FILE] FD:EVENTNUM...
 *
 * Without --rate (a flood), each device gets 24 frames in one write as soon
 * as the program has taken every key event written before from libinput.
 * Every program under test thus sees the same batches (one read, one
 * dispatch per 24 key events)
 * and the comparison is of the work per event, not of how often a faster or
 * slower reader happens to wake up. With --rate, one frame is written per
 * period at exact absolute times, round-robin over the devices. --keys is the
 * total over all devices.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include "probe.h"

enum {
  FRAME_EVENTS = 3,
  FRAME_BYTES = FRAME_EVENTS * sizeof(struct input_event),
  CHUNK_FRAMES = 24,
  MAX_IN_FLIGHT = 2 * CHUNK_FRAMES * FRAME_BYTES,
  MAX_DEVICES = 64
};

/* A program that takes nothing for this long has lost events or hangs. */
static const uint64_t STALL_NS = 20000000000ull;

static const unsigned short letters[] = {30, 48, 46, 32, 18, 33, 34, 35, 23, 36, 37, 38, 50,
                                         49, 24, 25, 16, 19, 31, 20, 22, 47, 17, 45, 21, 44};

struct device {
  int fd;
  unsigned number;
  uint64_t keys_left;
  uint64_t keys_done;
  uint64_t written;
};

static uint64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static void fill_frame(struct input_event *ev, uint64_t key_index, uint64_t time_us) {
  unsigned short code = letters[(key_index / 2) % (sizeof letters / sizeof *letters)];
  int value = key_index % 2 == 0; /* press, then release */
  const struct {
    unsigned short type, code;
    int value;
  } parts[FRAME_EVENTS] = {
      {EV_MSC, MSC_SCAN, code}, {EV_KEY, code, value}, {EV_SYN, SYN_REPORT, 0}};
  for (int i = 0; i < FRAME_EVENTS; i++) {
    memset(&ev[i], 0, sizeof ev[i]);
    ev[i].input_event_sec = (time_t)(time_us / 1000000u);
    ev[i].input_event_usec = (suseconds_t)(time_us % 1000000u);
    ev[i].type = parts[i].type;
    ev[i].code = parts[i].code;
    ev[i].value = parts[i].value;
  }
}

static int write_frames(struct device *d, unsigned frames, uint64_t time_us) {
  struct input_event buf[CHUNK_FRAMES * FRAME_EVENTS];
  for (unsigned i = 0; i < frames; i++)
    fill_frame(&buf[i * FRAME_EVENTS], d->keys_done + i, time_us);
  size_t len = frames * FRAME_BYTES;
  ssize_t n;
  do n = write(d->fd, buf, len);
  while (n < 0 && errno == EINTR);
  if (n != (ssize_t)len) {
    fprintf(stderr, "replay: short write on event%u: %zd of %zu\n", d->number, n, len);
    return -1;
  }
  d->written += len;
  d->keys_done += frames;
  d->keys_left -= frames;
  return 0;
}

int main(int argc, char **argv) {
  const char *probe_path = NULL, *log_path = NULL;
  uint64_t keys = 0;
  double rate = 0;
  struct device devs[MAX_DEVICES];
  unsigned ndev = 0;

  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--probe") && i + 1 < argc)
      probe_path = argv[++i];
    else if (!strcmp(argv[i], "--keys") && i + 1 < argc)
      keys = strtoull(argv[++i], NULL, 10);
    else if (!strcmp(argv[i], "--rate") && i + 1 < argc)
      rate = strtod(argv[++i], NULL);
    else if (!strcmp(argv[i], "--log") && i + 1 < argc)
      log_path = argv[++i];
    else if (ndev < MAX_DEVICES &&
             sscanf(argv[i], "%d:%u", &devs[ndev].fd, &devs[ndev].number) == 2 &&
             devs[ndev].number < PROBE_DEVICES)
      ndev++;
    else {
      fprintf(stderr, "replay: bad argument %s\n", argv[i]);
      return 2;
    }
  }
  if (!probe_path || !ndev || !keys) {
    fputs("usage: replay --probe FILE --keys N [--rate R] [--log FILE] FD:EVENTNUM...\n", stderr);
    return 2;
  }
  int pfd = open(probe_path, O_RDONLY);
  if (pfd < 0) {
    perror("replay: probe");
    return 1;
  }
  const struct probe_log *probe = mmap(NULL, sizeof *probe, PROT_READ, MAP_SHARED, pfd, 0);
  close(pfd);
  if (probe == MAP_FAILED) {
    perror("replay: mmap");
    return 1;
  }
  /* Sleep exactly as long as asked: the default 50 us slack would stretch
   * every period of a paced replay. */
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

  for (unsigned i = 0; i < ndev; i++) {
    devs[i].keys_left = keys / ndev + (i < keys % ndev);
    devs[i].keys_done = 0;
    /* Counted from what the program has read so far, so that several
     * replays can follow one another into one running program. */
    devs[i].written = __atomic_load_n(&probe->device_bytes[devs[i].number], __ATOMIC_ACQUIRE);
  }

  uint64_t *log = NULL;
  if (log_path && rate > 0) {
    log = calloc(keys, 2 * sizeof *log);
    if (!log) return 1;
  }

  if (rate > 0) {
    uint64_t period = (uint64_t)(1e9 / rate);
    uint64_t start = now_ns() + period;
    for (uint64_t k = 0; k < keys; k++) {
      uint64_t deadline = start + k * period;
      struct timespec ts = {(time_t)(deadline / 1000000000u), (long)(deadline % 1000000000u)};
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) == EINTR)
        ;
      struct device *d = &devs[k % ndev];
      /* A paced reader never lags far, but the limit holds all the same. */
      uint64_t waited_from = now_ns();
      while (d->written - __atomic_load_n(&probe->device_bytes[d->number], __ATOMIC_ACQUIRE) +
                 FRAME_BYTES >
             MAX_IN_FLIGHT) {
        if (now_ns() - waited_from > STALL_NS) {
          fputs("replay: the program stopped reading\n", stderr);
          return 1;
        }
        usleep(20);
      }
      uint64_t t = now_ns();
      if (write_frames(d, 1, t / 1000u) != 0) return 1;
      if (log) {
        log[2 * k] = t / 1000u;
        log[2 * k + 1] = now_ns();
      }
    }
  } else {
    /* Rounds: one write of up to 24 frames to every device, then wait
     * until the program has taken all those key events from libinput.
     * Waiting only for the bytes to be read is not enough: libinput's
     * dispatch reads on until the device runs dry, so a replay that
     * refills as soon as bytes are read keeps a single dispatch going and
     * piles the events up in libinput's queue. */
    const uint64_t taken_before = __atomic_load_n(&probe->keys, __ATOMIC_ACQUIRE);
    uint64_t sent = 0, last_taken = 0, last_change = now_ns();
    const struct timespec nap = {0, 20000};
    while (sent < keys) {
      uint64_t taken = __atomic_load_n(&probe->keys, __ATOMIC_ACQUIRE) - taken_before;
      if (taken >= sent) {
        uint64_t now_us = now_ns() / 1000u;
        for (unsigned i = 0; i < ndev; i++) {
          struct device *d = &devs[i];
          if (!d->keys_left) continue;
          unsigned frames = d->keys_left < CHUNK_FRAMES ? (unsigned)d->keys_left : CHUNK_FRAMES;
          if (write_frames(d, frames, now_us) != 0) return 1;
          sent += frames;
        }
        continue;
      }
      uint64_t now = now_ns();
      if (taken != last_taken) {
        last_taken = taken;
        last_change = now;
      } else if (now - last_change > STALL_NS) {
        fprintf(stderr, "replay: the program took %llu of %llu key events and no more\n",
                (unsigned long long)taken, (unsigned long long)sent);
        return 1;
      }
      nanosleep(&nap, NULL);
    }
  }

  if (log) {
    FILE *f = fopen(log_path, "w");
    if (!f) return 1;
    for (uint64_t k = 0; k < keys; k++)
      fprintf(f, "%llu %llu\n", (unsigned long long)log[2 * k], (unsigned long long)log[2 * k + 1]);
    if (fclose(f) != 0) return 1;
  }
  return 0;
}
