// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
// The entry: command line, help and version texts, and the exit status.
#pragma once

#include <cstdio>

// What `handle_options` returns when the backend should start.
constexpr int start_backend = -1;

// Writes the help text on `out`, with the program path exactly as invoked.
void print_usage(FILE *out, const char *program);

// Acts on the options in the order given: the first help or version option is
// answered on `out` and ends there with status 0; unknown options get the
// option parser's diagnostic on standard error and are otherwise ignored.
// Returns `start_backend` when no option ended the process.
int handle_options(int argc, char **argv, FILE *out);

// The whole process: options, then the seat input. Returns the exit status.
int run_cli(int argc, char **argv);
