// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
#include "stop_listener.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

bool reads_stop(const std::string &input) {
  // fmemopen cannot open an empty buffer for reading on every libc; a pipe of
  // nothing behaves the same as empty input.
  if (input.empty()) {
    FILE *in = std::fopen("/dev/null", "r");
    const bool stopped = read_stop_command(in);
    std::fclose(in);
    return stopped;
  }
  std::string copy = input;
  FILE *in = fmemopen(copy.data(), copy.size(), "r");
  const bool stopped = read_stop_command(in);
  std::fclose(in);
  return stopped;
}

struct line_case {
  const char *what;
  std::string input;
  bool stops;
};

class ReadStopCommand : public testing::TestWithParam<line_case> {};

TEST_P(ReadStopCommand, StopsOnlyOnTheExactPiece) {
  EXPECT_EQ(reads_stop(GetParam().input), GetParam().stops);
}

const std::string filler510(510, 'x');
const std::string filler511(511, 'x');

const line_case line_cases[] = {
    {"command", "stop\n", true},
    {"command_after_other_lines", "hello\n\nSTOP\nstop\n", true},
    {"command_then_more", "stop\nmore\n", true},
    {"empty_input", "", false},
    {"upper_case", "STOP\n", false},
    {"capitalised", "Stop\n", false},
    {"blank_before", " stop\n", false},
    {"blank_after", "stop \n", false},
    {"tab_after", "stop\t\n", false},
    {"carriage_return", "stop\r\n", false},
    {"longer_word", "stopp\n", false},
    {"shorter_word", "sto\n", false},
    {"empty_line", "\n", false},
    {"nul_inside", std::string("st\0op\n", 6), false},
    {"nul_after", std::string("stop\0\n", 6), false},
    {"no_newline_at_end", "stop", false},
    {"no_newline_after_lines", "x\nstop", false},
    // Pieces of at most 511 bytes: "stop\n" right after a 511-byte piece is a
    // piece of its own; a line of 510 bytes plus "stop\n" is cut elsewhere.
    {"aligned_tail_of_long_line", filler511 + "stop\n", true},
    {"aligned_tail_after_two_pieces", filler511 + filler511 + "stop\n", true},
    {"unaligned_tail_of_long_line", filler510 + "stop\n", false},
    {"long_line_ending_in_stop", filler511 + "xstop\n", false},
    {"piece_cut_inside_command", filler511.substr(0, 508) + "stop\n", false},
};

INSTANTIATE_TEST_SUITE_P(Lines, ReadStopCommand, testing::ValuesIn(line_cases),
                         [](const testing::TestParamInfo<line_case> &info) {
                           return std::string(info.param.what);
                         });

}  // namespace
