// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
#include "cli.h"

#include "seat_input.h"
#include "version.h"

#include <getopt.h>

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

int run_cli(int argc, char **argv) {
  const int status = handle_options(argc, argv, stdout);
  if (status != start_backend) {
    return status;
  }
  // A frontend that goes away must take the backend with it at the next
  // record. Some launchers hand their children SIGPIPE ignored; the default
  // action is restored so that the closed pipe still ends the process.
  std::signal(SIGPIPE, SIG_DFL);
  return run_seat_input();
}
