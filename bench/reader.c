// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
/*
 * The benchmark's stand-in for the frontend: reads a program's standard
 * output from the pipe until end of input and counts the lines and the key or
 * button records among them. With a file argument it also notes, for every
 * key or button record, the CLOCK_MONOTONIC time at which the complete line
 * had been read, and writes "<ns> <line>" lines to that file at the end (kept
 * in memory until then, so that timing is not disturbed by file writes).
 * Prints "lines N keys K" on its own standard output at the end.
 */
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static uint64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static int is_key_line(const char *line, size_t len) {
  return memmem(line, len, "KEYBOARD_KEY", 12) || memmem(line, len, "POINTER_BUTTON", 14);
}

int main(int argc, char **argv) {
  const char *log_path = argc > 1 ? argv[1] : NULL;
  char *log = NULL;
  size_t log_len = 0, log_cap = 0;
  static char buf[1 << 16];
  char line[4096];
  size_t line_len = 0;
  unsigned long long lines = 0, keys = 0;
  ssize_t got;

  while ((got = read(0, buf, sizeof buf)) > 0) {
    uint64_t t = log_path ? now_ns() : 0;
    for (ssize_t i = 0; i < got; i++) {
      char c = buf[i];
      if (line_len < sizeof line - 1) line[line_len++] = c;
      if (c != '\n') continue;
      lines++;
      if (is_key_line(line, line_len)) {
        keys++;
        if (log_path) {
          if (log_len + line_len + 32 > log_cap) {
            log_cap = (log_cap + line_len + 32) * 2;
            log = realloc(log, log_cap);
            if (!log) return 2;
          }
          log_len += (size_t)sprintf(log + log_len, "%llu ", (unsigned long long)t);
          memcpy(log + log_len, line, line_len);
          log_len += line_len;
        }
      }
      line_len = 0;
    }
  }
  if (log_path) {
    FILE *f = fopen(log_path, "w");
    if (!f || fwrite(log, 1, log_len, f) != log_len || fclose(f) != 0) return 3;
  }
  printf("lines %llu keys %llu\n", lines, keys);
  return 0;
}
