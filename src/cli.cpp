// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
#include "cli.h"

#include "event_records.h"
#include "seat_input.h"
#include "version.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

void print_usage(FILE *out, const char *program) {
  std::fputs(
      "The backend of Tapolux.\n"
      "Version " TAPOLUX_VERSION ".\n",
      out);
  std::fprintf(out, "Usage: %s [OPTION\u2026]\n", program);
  std::fputs(
      "Options:\n"
      "\t-h, --help\tDisplay help then exit.\n"
      "\t-v, --version\tDisplay version then exit.\n"
      "Warning: This is the backend and is not designed to run by users. "
      "You should run the frontend of Tapolux, and the frontend will run this.\n",
      out);
}

int handle_options(int argc, char **argv, FILE *out) {
  static const struct option long_options[] = {
      {"version", no_argument, nullptr, 'v'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  // Start the parser afresh, so that it can be asked more than once.
  optind = 0;
  int index = 0;
  int option = 0;
  while ((option = getopt_long(argc, argv, "vh", long_options, &index)) != -1) {
    switch (option) {
    case 'h':
      print_usage(out, argv[0]);
      return 0;
    case 'v':
      std::fputs(TAPOLUX_VERSION "\n", out);
      return 0;
    default:
      break;  // the parser has already told standard error; start anyway
    }
  }
  return start_backend;
}

namespace {

// A frontend that goes away must take the backend with it: a record meeting
// the closed pipe ends the process through SIGPIPE. Launchers may hand their
// children SIGPIPE ignored, and a frontend that takes its signals through a
// signalfd has SIGPIPE, SIGTERM and SIGINT blocked, a mask that survives
// exec; the backend would then read every key for ever after its reader has
// gone, or shrug off the signals meant to end it.
void restore_signals() {
  std::signal(SIGPIPE, SIG_DFL);
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGPIPE);
  sigaddset(&ending, SIGTERM);
  sigaddset(&ending, SIGINT);
  pthread_sigmask(SIG_UNBLOCK, &ending, nullptr);
}

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

// A descriptor that a launcher left closed would be the next one handed
// out, so the first device node or library descriptor would become standard
// input or error: the listener would read a device, a diagnostic could be
// written into one. /dev/null takes the place (an eventfd where there is no
// /dev/null, which reads nothing and takes no writes).
void occupy(int fd) {
  int placeholder = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (placeholder == -1) {
    placeholder = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  }
  if (placeholder != -1 && placeholder != fd) {
    dup2(placeholder, fd);  // the copy does not keep close-on-exec
    close(placeholder);
  }
}

// With standard output closed there is nobody to report to: the backend
// ends as it does when its reader goes away.
void check_standard_descriptors() {
  if (!is_open(STDIN_FILENO)) {
    occupy(STDIN_FILENO);
  }
  if (!is_open(STDOUT_FILENO)) {
    end_without_reader();
  }
  if (!is_open(STDERR_FILENO)) {
    occupy(STDERR_FILENO);
  }
}

}  // namespace

int run_cli(int argc, char **argv) {
  const int status = handle_options(argc, argv, stdout);
  if (status != start_backend) {
    return status;
  }
  restore_signals();
  check_standard_descriptors();
  return run_seat_input();
}
