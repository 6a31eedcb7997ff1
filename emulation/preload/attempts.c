// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
/*
 * Test-only module, preloaded into the backend: plays the part of a fault in
 * a library that a crafted device reaches. It tries every action that a
 * contained backend must be refused, from inside the running process, at
 * the two moments such a fault would run:
 *
 * - on the main thread, inside a libinput call: when the drain asks libinput
 *   for the code of a KEY_F24 event (libinput_event_keyboard_get_key);
 * - on the stop-command listener, on a read of standard input: when what it
 *   read starts with "attempt\n".
 *
 * Each attempt writes one line on standard error, in a single write:
 *   attempt <main|listener> <action> refused <ERRNO>
 *   attempt <main|listener> <action> done
 *   attempt <main|listener> <action> no-target (no input node was found)
 * followed, once all are tried, by "attempts <main|listener> over".
 *
 * What to aim at comes from the environment, read before main(), when the
 * backend still reads nothing itself: TAPOLUX_ATTEMPT_FILE (a root-owned file
 * that others may read), _SECRET (a root-owned file only root may read),
 * _PUBLIC (a file anyone may read, outside what the backend needs), _DIR (a
 * folder anyone may write to), _SOCKET (a root-owned Unix socket only root
 * may connect to) and _VICTIM (the process id of a root process).
 */
#define _GNU_SOURCE

#include <errno.h>
#include <fcntl.h>
#include <libinput.h>
#include <linux/input.h>
#include <linux/io_uring.h>
#include <linux/perf_event.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include "wrap.h"

static const char *file, *secret, *public_file, *folder, *socket_path;
static pid_t victim;
static int held_socket = -1; /* made before the containment, as libudev's is */

__attribute__((constructor)) static void read_targets(void) {
  file = getenv("TAPOLUX_ATTEMPT_FILE");
  secret = getenv("TAPOLUX_ATTEMPT_SECRET");
  public_file = getenv("TAPOLUX_ATTEMPT_PUBLIC");
  folder = getenv("TAPOLUX_ATTEMPT_DIR");
  socket_path = getenv("TAPOLUX_ATTEMPT_SOCKET");
  const char *pid = getenv("TAPOLUX_ATTEMPT_VICTIM");
  victim = pid ? (pid_t)atoi(pid) : 0;
  int made = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (made >= 0) {
    held_socket = fcntl(made, F_DUPFD_CLOEXEC, 300);
    close(made);
  }
}

/* What an attempt returns when it found nothing to aim at: neither refused
 * nor done, and a failure of the test. */
enum { NO_TARGET = -2 };

static void report(const char *thread, const char *action, long result) {
  char line[256];
  int length;
  if (result == NO_TARGET)
    length = snprintf(line, sizeof line, "attempt %s %s no-target\n", thread, action);
  else if (result < 0)
    length = snprintf(line, sizeof line, "attempt %s %s refused %s\n", thread, action,
                      strerrorname_np(errno));
  else
    length = snprintf(line, sizeof line, "attempt %s %s done\n", thread, action);
  (void)!write(STDERR_FILENO, line, (size_t)length);
}

static const char *in_folder(char *buf, size_t size, const char *name, const char *thread) {
  snprintf(buf, size, "%s/%s-%s", folder, name, thread);
  return buf;
}

/* A descriptor of an input node the backend holds: under the emulation the
 * node is a link to a pseudo-terminal, which is what /proc shows. */
static int held_node(char *path, size_t size) {
  for (int fd = 3; fd < 200; ++fd) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t got = readlink(link, path, size - 1);
    if (got <= 0) continue;
    path[got] = '\0';
    if (strncmp(path, "/dev/input/", 11) == 0 || strncmp(path, "/dev/pts/", 9) == 0) return fd;
  }
  return -1;
}

static long try_connect(void) {
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path);
  return connect(held_socket, (struct sockaddr *)&address, sizeof address);
}

static long try_exec(const char *thread) {
  char marker[512], command[600];
  snprintf(command, sizeof command, "touch %s", in_folder(marker, sizeof marker, "ran", thread));
  char *const argv[] = {"sh", "-c", command, NULL};
  return execve("/bin/sh", argv, environ);
}

static long try_ptrace(void) {
  long result = ptrace(PTRACE_ATTACH, victim, 0, 0);
  if (result == 0) ptrace(PTRACE_DETACH, victim, 0, 0);
  return result;
}

static long try_vm_read(void) {
  char byte;
  struct iovec local = {&byte, 1}, remote = {(void *)0x400000, 1};
  return process_vm_readv(victim, &local, 1, &remote, 1, 0);
}

static long closing(long fd) {
  if (fd >= 0) close((int)fd);
  return fd;
}

static long try_io_uring(void) {
  struct io_uring_params params;
  memset(&params, 0, sizeof params);
  return closing(syscall(SYS_io_uring_setup, 1, &params));
}

static long try_perf_event(void) {
  struct perf_event_attr attr;
  memset(&attr, 0, sizeof attr);
  attr.size = sizeof attr;
  attr.type = PERF_TYPE_SOFTWARE;
  attr.config = PERF_COUNT_SW_CPU_CLOCK;
  return closing(syscall(SYS_perf_event_open, &attr, victim, -1, -1, 0));
}

static long try_node_write(int fd) {
  struct input_event event;
  memset(&event, 0, sizeof event);
  event.type = EV_KEY;
  event.code = KEY_A;
  event.value = 1;
  return write(fd, &event, sizeof event);
}

static long try_grab(int fd) {
  /* Straight to the kernel, past umockdev's emulation of the ioctl. */
  long result = syscall(SYS_ioctl, fd, EVIOCGRAB, 1);
  if (result == 0) syscall(SYS_ioctl, fd, EVIOCGRAB, 0);
  return result;
}

static void try_everything(const char *thread) {
  char path[512], other[512];
  if (!file || !secret || !public_file || !folder || !socket_path || victim <= 0 ||
      held_socket < 0) {
    /* Nothing tried, so the test finds no outcome and fails. */
    (void)!write(STDERR_FILENO, "attempts: targets missing\n", 26);
    return;
  }
  report(thread, "append-to-file", closing(open(file, O_WRONLY | O_APPEND | O_CLOEXEC)));
  report(thread, "create-file",
         closing(open(in_folder(path, sizeof path, "created", thread),
                      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644)));
  report(thread, "truncate-file", truncate(file, 0));
  report(thread, "rename-file", rename(file, in_folder(path, sizeof path, "renamed", thread)));
  report(thread, "remove-file", unlink(file));
  report(thread, "make-folder", mkdir(in_folder(path, sizeof path, "folder", thread), 0755));
  report(thread, "link-file", link(file, in_folder(other, sizeof other, "linked", thread)));
  report(thread, "read-secret-file", closing(open(secret, O_RDONLY | O_CLOEXEC)));
  report(thread, "read-public-file", closing(open(public_file, O_RDONLY | O_CLOEXEC)));
  report(thread, "make-inet-socket", closing(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)));
  report(thread, "make-unix-socket", closing(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)));
  report(thread, "connect-root-socket", try_connect());
  report(thread, "ptrace", try_ptrace());
  report(thread, "process-vm-read", try_vm_read());
  report(thread, "kill-other", kill(victim, SIGTERM));
  report(thread, "tgkill-other", syscall(SYS_tgkill, victim, victim, SIGTERM));
  report(thread, "reprioritise-other", setpriority(PRIO_PROCESS, (id_t)victim, 19));
  report(thread, "mount", mount("none", folder, "tmpfs", 0, NULL));
  report(thread, "new-namespace", unshare(CLONE_NEWUSER | CLONE_NEWNS));
  report(thread, "load-module", syscall(SYS_finit_module, 0, "", 0));
  report(thread, "bpf", syscall(SYS_bpf, 0, NULL, 0));
  report(thread, "keyctl", syscall(SYS_keyctl, 0 /* KEYCTL_GET_KEYRING_ID */, -3, 0));
  report(thread, "io-uring", try_io_uring());
  report(thread, "perf-event", try_perf_event());
  report(thread, "setuid-root", syscall(SYS_setuid, 0));
  report(thread, "setgid-root", syscall(SYS_setgid, 0));
  char node[256];
  int node_fd = held_node(node, sizeof node);
  report(thread, "write-to-device", node_fd < 0 ? NO_TARGET : try_node_write(node_fd));
  report(thread, "reopen-device-for-writing",
         node_fd < 0 ? NO_TARGET : closing(open(node, O_RDWR | O_CLOEXEC)));
  report(thread, "grab-device", node_fd < 0 ? NO_TARGET : try_grab(node_fd));
  report(thread, "type-into-terminal", ioctl(STDIN_FILENO, TIOCSTI, "x"));
  /* Last: where it is allowed, nothing after it runs. */
  report(thread, "exec", try_exec(thread));
  char line[64];
  int length = snprintf(line, sizeof line, "attempts %s over\n", thread);
  (void)!write(STDERR_FILENO, line, (size_t)length);
}

uint32_t libinput_event_keyboard_get_key(struct libinput_event_keyboard *event) {
  NEXT(libinput_event_keyboard_get_key);
  uint32_t key = next_fn(event);
  if (key == KEY_F24 && libinput_event_keyboard_get_key_state(event) == 1) try_everything("main");
  return key;
}

ssize_t read(int fd, void *buffer, size_t size) {
  NEXT(read);
  ssize_t got = next_fn(fd, buffer, size);
  static const char trigger[] = "attempt\n";
  if (fd == STDIN_FILENO && got >= (ssize_t)(sizeof trigger - 1) &&
      memcmp(buffer, trigger, sizeof trigger - 1) == 0)
    try_everything("listener");
  return got;
}
