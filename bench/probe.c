// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
/*
 * Benchmark probe, preloaded in front of the test helpers and umockdev's
 * library into the program being measured (backend, peer or floor). It notes,
 * on CLOCK_MONOTONIC, the moments where both ends of an event's way through
 * the program can be seen:
 *
 *   FRAME  a read() of an emulated /dev/input descriptor returned data that
 *          completes an evdev frame (EV_SYN/SYN_REPORT); the value is the
 *          frame's own time stamp in microseconds, as the replay wrote it;
 *   KEY    libinput_get_event() handed over a key or button event; the value
 *          is libinput's time stamp of it in microseconds;
 *   WRITE  a write(2) on standard output returned, and what it wrote ended a
 *          record (its newline): the record is in the pipe. The backend
 *          writes its records that way, completing a short write with more
 *          calls, so a record is noted once, when its last byte is out.
 *
 * Timing the events against the replay's own time stamps would measure
 * umockdev's drift (its sleeps overshoot by a fraction of a millisecond per
 * event), so latency is always taken between two moments seen here, or
 * between one seen here and the reader's arrival time, all on one clock.
 *
 * The log is a file mapped shared, named by $TAPOLUX_PROBE; its length of
 * entries by $TAPOLUX_PROBE_ENTRIES (0: counters only, so that long floods do
 * not grow the program's memory through the log). Without $TAPOLUX_PROBE the
 * probe forwards everything and notes nothing.
 */
#undef _FILE_OFFSET_BITS /* open and open64 are two symbols here */
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE

#include <libinput.h>
#include <linux/input.h>
#include <poll.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "probe.h"
#include "wrap.h"

static struct probe_log *probe;

static uint64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

__attribute__((constructor)) static void probe_start(void) {
  uint64_t started = now_ns();
  const char *path = getenv("TAPOLUX_PROBE");
  if (!path || !*path) return;
  const char *entries = getenv("TAPOLUX_PROBE_ENTRIES");
  uint64_t capacity = entries ? strtoull(entries, NULL, 10) : 0;
  size_t size = sizeof(struct probe_log) + capacity * sizeof(struct probe_entry);
  /* No O_TRUNC: a launcher (libinput's, stdbuf, valgrind) loads the probe
   * too before it execs the program, and the benchmark may already have the
   * file mapped; shrinking it under that mapping would fault. */
  int fd = REAL(open)(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) != 0 || ((size_t)st.st_size < size && ftruncate(fd, (off_t)size) != 0)) {
    close(fd);
    return;
  }
  void *map = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return;
  memset(map, 0, sizeof(struct probe_log));
  probe = map;
  probe->magic = PROBE_MAGIC;
  probe->capacity = capacity;
  probe->started_ns = started;
  probe->pid = (uint64_t)getpid();
}

static void note(uint32_t kind, uint64_t value, uint64_t t) {
  uint64_t i = __atomic_fetch_add(&probe->entries, 1, __ATOMIC_RELAXED);
  if (i < probe->capacity) {
    probe->log[i].t_ns = t;
    probe->log[i].value = value;
    probe->log[i].kind = kind;
  }
}

/* --- which descriptors are emulated input nodes --- */

enum { TRACKED_FDS = 1024 };
/* 0: not an input node; else 1 + N for /dev/input/event<N> (or 1 + PROBE_DEVICES
 * for another input node, counted only in the totals). */
static unsigned char input_fd[TRACKED_FDS];

static int track(int fd, const char *path) {
  if (fd < 0 || fd >= TRACKED_FDS) return fd;
  input_fd[fd] = 0;
  if (path && strncmp(path, "/dev/input/", 11) == 0) {
    unsigned n = PROBE_DEVICES;
    if (strncmp(path + 11, "event", 5) == 0) {
      char *end;
      unsigned long v = strtoul(path + 16, &end, 10);
      if (end != path + 16 && !*end && v < PROBE_DEVICES) n = (unsigned)v;
    }
    input_fd[fd] = (unsigned char)(1 + n);
  }
  return fd;
}

WRAP_OPEN_FAMILY(wrap_same_path, track)

int close(int fd) {
  NEXT(close);
  if (fd >= 0 && fd < TRACKED_FDS) input_fd[fd] = 0;
  return next_fn(fd);
}

/* --- device end: frames read from an input node --- */

ssize_t read(int fd, void *buf, size_t count) {
  NEXT(read);
  ssize_t got = next_fn(fd, buf, count);
  if (got > 0 && probe && fd >= 0 && fd < TRACKED_FDS && input_fd[fd]) {
    uint64_t t = now_ns();
    __atomic_fetch_add(&probe->input_bytes, (uint64_t)got, __ATOMIC_RELAXED);
    __atomic_fetch_add(&probe->reads, 1, __ATOMIC_RELAXED);
    unsigned device = input_fd[fd] - 1u;
    if (device < PROBE_DEVICES)
      __atomic_fetch_add(&probe->device_bytes[device], (uint64_t)got, __ATOMIC_RELEASE);
    /* libevdev reads whole struct input_events (the replay writes whole
     * frames, see replay.c), so the buffer starts on an event. */
    const struct input_event *ev = buf;
    size_t n = (size_t)got / sizeof *ev;
    for (size_t i = 0; i < n; i++) {
      if (ev[i].type == EV_SYN && ev[i].code == SYN_REPORT) {
        __atomic_fetch_add(&probe->frames, 1, __ATOMIC_RELAXED);
        if (probe->capacity)
          note(PROBE_FRAME, (uint64_t)ev[i].input_event_sec * 1000000u + ev[i].input_event_usec, t);
      }
    }
  }
  return got;
}

/* --- inside the program: libinput hands over a key or button event --- */

/* libinput's own functions are looked up when first needed rather than
 * linked: the probe is also preloaded into launchers (libinput's, stdbuf,
 * valgrind) that do not load libinput at all. */
static uint64_t event_usec(struct libinput_event *event, enum libinput_event_type type) {
  static __typeof__(&libinput_event_get_keyboard_event) keyboard;
  static __typeof__(&libinput_event_keyboard_get_time_usec) keyboard_usec;
  static __typeof__(&libinput_event_get_pointer_event) pointer;
  static __typeof__(&libinput_event_pointer_get_time_usec) pointer_usec;
  if (!keyboard) {
    keyboard_usec = REAL(libinput_event_keyboard_get_time_usec);
    pointer = REAL(libinput_event_get_pointer_event);
    pointer_usec = REAL(libinput_event_pointer_get_time_usec);
    keyboard = REAL(libinput_event_get_keyboard_event);
  }
  return type == LIBINPUT_EVENT_KEYBOARD_KEY ? keyboard_usec(keyboard(event))
                                             : pointer_usec(pointer(event));
}

struct libinput_event *libinput_get_event(struct libinput *input) {
  NEXT(libinput_get_event);
  struct libinput_event *event = next_fn(input);
  if (!event || !probe) return event;
  static __typeof__(&libinput_event_get_type) get_type;
  if (!get_type) get_type = REAL(libinput_event_get_type);
  enum libinput_event_type type = get_type(event);
  if (type == LIBINPUT_EVENT_KEYBOARD_KEY || type == LIBINPUT_EVENT_POINTER_BUTTON) {
    uint64_t t = now_ns();
    __atomic_fetch_add(&probe->keys, 1, __ATOMIC_RELAXED);
    if (probe->capacity) note(PROBE_KEY, event_usec(event, type), t);
  }
  return event;
}

/* --- program end: a record written to the pipe --- */

/* Only the backend is timed at this end: the peer's lines leave through the
 * C library's own internal write, which no preloaded library sees. */
ssize_t write(int fd, const void *buf, size_t count) {
  NEXT(write);
  ssize_t done = next_fn(fd, buf, count);
  if (done > 0 && probe && fd == STDOUT_FILENO) {
    uint64_t t = now_ns();
    const char *at = buf, *end = at + done;
    while ((at = memchr(at, '\n', (size_t)(end - at))) != NULL) {
      at++;
      __atomic_fetch_add(&probe->writes, 1, __ATOMIC_RELAXED);
      if (probe->capacity) note(PROBE_WRITE, 0, t);
    }
  }
  return done;
}

/* --- start-up: the main thread's first blocking poll is where the first
 * record could begin (another thread, such as the backend's stop listener,
 * may wait in poll earlier, before the set-up is done) --- */

int poll(struct pollfd *fds, nfds_t nfds, int timeout) {
  NEXT(poll);
  if (probe && timeout < 0 && !probe->first_poll_ns && gettid() == getpid())
    probe->first_poll_ns = now_ns();
  return next_fn(fds, nfds, timeout);
}

/* --- what the backend does between opening its seat and starting its
 * listener: giving up what it no longer needs --- */

int libinput_udev_assign_seat(struct libinput *input, const char *seat) {
  NEXT(libinput_udev_assign_seat);
  int result = next_fn(input, seat);
  if (probe && !probe->seat_ns) probe->seat_ns = now_ns();
  return result;
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                   void *arg) {
  if (probe && probe->seat_ns && !probe->thread_ns) probe->thread_ns = now_ns();
  NEXT(pthread_create);
  return next_fn(thread, attr, start, arg);
}
