// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
#include "cli.h"

int main(int argc, char **argv) { return run_cli(argc, argv); }
