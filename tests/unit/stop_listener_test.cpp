// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
#include "stop_listener.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Runs the reader on a pipe into which `writes` go one by one, with a pause
// between them so that the reader finds the pipe empty, then closes it.
// `nonblocking`: the reader's end is handed over with O_NONBLOCK, as some
// launchers do.
bool reads_stop(const std::vector<std::string> &writes, bool nonblocking = false) {
  int ends[2];
  EXPECT_EQ(pipe(ends), 0);
  if (nonblocking) {
    EXPECT_EQ(fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK), 0);
  }
  std::thread writer([&writes, fd = ends[1]] {
    for (const std::string &data : writes) {
      EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    close(fd);
  });
  const bool stopped = read_stop_command(ends[0]);
  // A reader that stopped early leaves the writer to finish on its own.
  writer.join();
  close(ends[0]);
  return stopped;
}

struct line_case {
  const char *what;
  std::string input;
  bool stops;
};

// Failures name the case rather than dump its bytes.
void PrintTo(const line_case &c, std::ostream *out) { *out << c.what; }

class ReadStopCommand : public testing::TestWithParam<line_case> {};

TEST_P(ReadStopCommand, StopsOnlyOnTheExactPiece) {
  EXPECT_EQ(reads_stop({GetParam().input}), GetParam().stops);
}

const std::string filler510(510, 'x');
const std::string filler511(line_size - 1, 'x');

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
    {"nul_before", std::string("\0stop\n", 6), false},
    {"no_newline_at_end", "stop", false},
    {"no_newline_after_lines", "x\nstop", false},
    // Pieces of at most 511 bytes: "stop\n" right after a 511-byte piece is a
    // piece of its own; a line of 510 bytes plus "stop\n" is cut elsewhere.
    {"aligned_tail_of_long_line", filler511 + "stop\n", true},
    {"aligned_tail_after_two_pieces", filler511 + filler511 + "stop\n", true},
    {"unaligned_tail_of_long_line", filler510 + "stop\n", false},
    {"long_line_ending_in_stop", filler511 + "xstop\n", false},
    {"piece_cut_inside_command", filler511.substr(0, 508) + "stop\n", false},
    // Longer than one read of the listener: pieces go on across its reads.
    {"command_after_many_reads", std::string(20000, 'x') + "\n" + "stop\n", true},
    {"aligned_tail_after_many_reads", std::string(40 * (line_size - 1), 'x') + "stop\n", true},
};

INSTANTIATE_TEST_SUITE_P(Lines, ReadStopCommand, testing::ValuesIn(line_cases),
                         [](const testing::TestParamInfo<line_case> &info) {
                           return std::string(info.param.what);
                         });

// Where the frontend's writes fall must not change the pieces, and a
// non-blocking standard input that is empty for a moment is not its end.
struct writes_case {
  const char *what;
  std::vector<std::string> writes;
  bool stops;
};

void PrintTo(const writes_case &c, std::ostream *out) { *out << c.what; }

class ReadStopCommandAcrossWrites : public testing::TestWithParam<writes_case> {};

TEST_P(ReadStopCommandAcrossWrites, CutsTheSamePiecesBlockingOrNot) {
  for (const bool nonblocking : {false, true}) {
    EXPECT_EQ(reads_stop(GetParam().writes, nonblocking), GetParam().stops)
        << (nonblocking ? "non-blocking" : "blocking");
  }
}

const writes_case writes_cases[] = {
    {"command_in_two_writes", {"st", "op\n"}, true},
    {"command_letter_by_letter", {"s", "t", "o", "p", "\n"}, true},
    {"command_after_a_quiet_moment", {"hello\n", "stop\n"}, true},
    {"piece_of_511_across_writes", {std::string(300, 'x'), std::string(211, 'x'), "stop\n"}, true},
    {"near_miss_in_two_writes", {"sto", "p\r\n"}, false},
    {"line_of_510_across_writes", {std::string(300, 'x'), std::string(210, 'x') + "stop\n"}, false},
    {"unfinished_command_then_end", {"st", "op"}, false},
};

INSTANTIATE_TEST_SUITE_P(Writes, ReadStopCommandAcrossWrites, testing::ValuesIn(writes_cases),
                         [](const testing::TestParamInfo<writes_case> &info) {
                           return std::string(info.param.what);
                         });

TEST(ReadStopCommand, EndsOnAClosedDescriptor) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  close(ends[1]);
  EXPECT_FALSE(read_stop_command(ends[0]));
}

}  // namespace
