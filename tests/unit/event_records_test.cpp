// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
#include "event_records.h"

#include <gtest/gtest.h>
#include <libinput.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

std::string format(int type, std::uint32_t time, std::uint32_t code, int state) {
  char buffer[record_size];
  const std::size_t length = format_record(buffer, sizeof buffer, type, time, code, state);
  return {buffer, length};
}

struct record_case {
  const char *what;
  int type;
  std::uint32_t time;
  std::uint32_t code;
  int state;
  const char *expected;
};

// Failures name the case rather than dump its bytes.
void PrintTo(const record_case &c, std::ostream *out) { *out << c.what; }

class FormatRecord : public testing::TestWithParam<record_case> {};

TEST_P(FormatRecord, WritesTheExactLine) {
  const record_case &c = GetParam();
  EXPECT_EQ(format(c.type, c.time, c.code, c.state), c.expected);
}

// Every byte counts: the frontend parses these lines as they stand.
const record_case record_cases[] = {
    {"key_press", LIBINPUT_EVENT_KEYBOARD_KEY, 1234, 30, 1,
     "{\"event_name\": \"KEYBOARD_KEY\", \"event_type\": 300, \"time_stamp\": 1234, "
     "\"key_name\": \"KEY_A\", \"key_code\": 30, \"state_name\": \"PRESSED\", \"state_code\": "
     "1}\n"},
    {"key_release", LIBINPUT_EVENT_KEYBOARD_KEY, 1300, 30, 0,
     "{\"event_name\": \"KEYBOARD_KEY\", \"event_type\": 300, \"time_stamp\": 1300, "
     "\"key_name\": \"KEY_A\", \"key_code\": 30, \"state_name\": \"RELEASED\", \"state_code\": "
     "0}\n"},
    {"button_press", LIBINPUT_EVENT_POINTER_BUTTON, 5, 272, 1,
     "{\"event_name\": \"POINTER_BUTTON\", \"event_type\": 402, \"time_stamp\": 5, "
     "\"key_name\": \"BTN_LEFT\", \"key_code\": 272, \"state_name\": \"PRESSED\", \"state_code\": "
     "1}\n"},
    {"button_release", LIBINPUT_EVENT_POINTER_BUTTON, 0, 273, 0,
     "{\"event_name\": \"POINTER_BUTTON\", \"event_type\": 402, \"time_stamp\": 0, "
     "\"key_name\": \"BTN_RIGHT\", \"key_code\": 273, \"state_name\": \"RELEASED\", "
     "\"state_code\": 0}\n"},
    {"largest_positive_time", LIBINPUT_EVENT_KEYBOARD_KEY, 2147483647U, 1, 1,
     "{\"event_name\": \"KEYBOARD_KEY\", \"event_type\": 300, \"time_stamp\": 2147483647, "
     "\"key_name\": \"KEY_ESC\", \"key_code\": 1, \"state_name\": \"PRESSED\", \"state_code\": "
     "1}\n"},
    {"time_wraps_at_2_31", LIBINPUT_EVENT_KEYBOARD_KEY, 2147483648U, 1, 1,
     "{\"event_name\": \"KEYBOARD_KEY\", \"event_type\": 300, \"time_stamp\": -2147483648, "
     "\"key_name\": \"KEY_ESC\", \"key_code\": 1, \"state_name\": \"PRESSED\", \"state_code\": "
     "1}\n"},
    {"largest_time_is_minus_one", LIBINPUT_EVENT_POINTER_BUTTON, 4294967295U, 274, 0,
     "{\"event_name\": \"POINTER_BUTTON\", \"event_type\": 402, \"time_stamp\": -1, "
     "\"key_name\": \"BTN_MIDDLE\", \"key_code\": 274, \"state_name\": \"RELEASED\", "
     "\"state_code\": 0}\n"},
    {"key_without_name", LIBINPUT_EVENT_KEYBOARD_KEY, 7, 84, 1,
     "{\"event_name\": \"KEYBOARD_KEY\", \"event_type\": 300, \"time_stamp\": 7, "
     "\"key_name\": \"null\", \"key_code\": 84, \"state_name\": \"PRESSED\", \"state_code\": 1}\n"},
    {"button_without_name", LIBINPUT_EVENT_POINTER_BUTTON, 7, 0x118, 0,
     "{\"event_name\": \"POINTER_BUTTON\", \"event_type\": 402, \"time_stamp\": 7, "
     "\"key_name\": \"null\", \"key_code\": 280, \"state_name\": \"RELEASED\", \"state_code\": "
     "0}\n"},
    {"code_beyond_key_max", LIBINPUT_EVENT_KEYBOARD_KEY, 7, 0x300, 1,
     "{\"event_name\": \"KEYBOARD_KEY\", \"event_type\": 300, \"time_stamp\": 7, "
     "\"key_name\": \"null\", \"key_code\": 768, \"state_name\": \"PRESSED\", \"state_code\": "
     "1}\n"},
};

INSTANTIATE_TEST_SUITE_P(Records, FormatRecord, testing::ValuesIn(record_cases),
                         [](const testing::TestParamInfo<record_case> &info) {
                           return std::string(info.param.what);
                         });

TEST(FormatRecord, OtherEventTypesGiveNothing) {
  for (const int type : {LIBINPUT_EVENT_DEVICE_ADDED, LIBINPUT_EVENT_POINTER_MOTION,
                         LIBINPUT_EVENT_POINTER_AXIS, LIBINPUT_EVENT_TOUCH_DOWN}) {
    EXPECT_EQ(format(type, 1, 30, 1), "") << "event type " << type;
  }
}

TEST(FormatRecord, GivesNothingWhenTheRecordDoesNotFit) {
  const std::string whole = format(LIBINPUT_EVENT_KEYBOARD_KEY, 1, 30, 1);
  char buffer[record_size];
  // Room for the record but not for its terminating zero is too small too.
  for (const std::size_t size : {std::size_t{32}, whole.size()}) {
    EXPECT_EQ(format_record(buffer, size, LIBINPUT_EVENT_KEYBOARD_KEY, 1, 30, 1), 0U) << size;
  }
  EXPECT_EQ(format_record(buffer, whole.size() + 1, LIBINPUT_EVENT_KEYBOARD_KEY, 1, 30, 1),
            whole.size());
}

// The widest numbers with every name libevdev knows: no record may be lost
// to the size of the buffer.
TEST(FormatRecord, EveryCodeFitsTheBuffer) {
  for (std::uint32_t code = 0; code <= 0x300; ++code) {
    EXPECT_NE(format(LIBINPUT_EVENT_POINTER_BUTTON, 2147483648U, code, 0).size(), 0U)
        << "code " << code;
  }
}

// --- writing records whole ---

// What the fake write does on its next call: take up to `accept` bytes, or,
// when `accept` is negative, fail with `error`. Once the script is used up it
// takes everything.
struct step {
  ssize_t accept;
  int error;
};

std::vector<step> script;
std::size_t next_step;
std::string written;  // everything the fake took, in order
int write_calls;

ssize_t fake_write(int /*fd*/, const void *data, std::size_t size) {
  ++write_calls;
  const step now = next_step < script.size() ? script[next_step++] : step{-2, 0};
  if (now.accept == -1) {
    errno = now.error;
    return -1;
  }
  const std::size_t taken =
      now.accept == -2 ? size : std::min(size, static_cast<std::size_t>(now.accept));
  written.append(static_cast<const char *>(data), taken);
  return static_cast<ssize_t>(taken);
}

const std::string record_a = format(LIBINPUT_EVENT_KEYBOARD_KEY, 10, 30, 1);
const std::string record_b = format(LIBINPUT_EVENT_POINTER_BUTTON, 20, 272, 0);
const std::string record_c = format(LIBINPUT_EVENT_KEYBOARD_KEY, 30, 30, 0);

struct write_case {
  const char *what;
  std::vector<step> script;
  std::vector<write_outcome> outcomes;  // of records a, b and c in turn
  std::string output;
  int calls;  // of write
};

void PrintTo(const write_case &c, std::ostream *out) { *out << c.what; }

class WriteRecord : public testing::TestWithParam<write_case> {};

TEST_P(WriteRecord, WritesWholeRecordsOnLinesOfTheirOwn) {
  const write_case &c = GetParam();
  script = c.script;
  next_step = 0;
  written.clear();
  write_calls = 0;
  // EAGAIN is waited out with poll on the descriptor: a pipe with room
  // answers at once.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  struct record_output output = {ends[1], fake_write, false};
  std::vector<write_outcome> outcomes;
  for (const std::string *record : {&record_a, &record_b, &record_c}) {
    outcomes.push_back(write_record(&output, record->data(), record->size()));
  }
  close(ends[0]);
  close(ends[1]);
  EXPECT_EQ(outcomes, c.outcomes);
  EXPECT_EQ(written, c.output);
  EXPECT_EQ(write_calls, c.calls);
}

constexpr write_outcome ok = write_outcome::written;
constexpr write_outcome failed = write_outcome::failed;

const write_case write_cases[] = {
    // One write per record: a pipe's reader never sees part of one.
    {"one_write_each", {}, {ok, ok, ok}, record_a + record_b + record_c, 3},
    {"short_writes_completed",
     {{10, 0}, {1, 0}, {50, 0}},
     {ok, ok, ok},
     record_a + record_b + record_c,
     6},
    {"interrupted_write_retried",
     {{-1, EINTR}, {20, 0}, {-1, EINTR}},
     {ok, ok, ok},
     record_a + record_b + record_c,
     6},
    // A non-blocking pipe without room: waited on, nothing lost.
    {"no_room_waited_for",
     {{-1, EAGAIN}, {-1, EAGAIN}, {30, 0}, {-1, EAGAIN}},
     {ok, ok, ok},
     record_a + record_b + record_c,
     7},
    {"full_disk_before_any_byte", {{-1, ENOSPC}}, {failed, ok, ok}, record_b + record_c, 3},
    // The cut record's line is ended in the next record's one write.
    {"full_disk_inside_a_record",
     {{40, 0}, {-1, ENOSPC}},
     {failed, ok, ok},
     record_a.substr(0, 40) + "\n" + record_b + record_c,
     4},
    {"io_error_inside_a_record",
     {{40, 0}, {-1, EIO}},
     {failed, ok, ok},
     record_a.substr(0, 40) + "\n" + record_b + record_c,
     4},
    // Only the newline went out: that line is ended, the next starts afresh.
    {"only_the_line_end_fits",
     {{40, 0}, {-1, ENOSPC}, {1, 0}, {-1, ENOSPC}},
     {failed, failed, ok},
     record_a.substr(0, 40) + "\n" + record_c,
     5},
    {"cut_twice",
     {{40, 0}, {-1, ENOSPC}, {41, 0}, {-1, ENOSPC}},
     {failed, failed, ok},
     record_a.substr(0, 40) + "\n" + record_b.substr(0, 40) + "\n" + record_c,
     5},
    {"nothing_taken", {{0, 0}}, {failed, ok, ok}, record_b + record_c, 3},
    {"reader_gone", {{-1, EPIPE}}, {write_outcome::reader_gone, ok, ok}, record_b + record_c, 3},
};

INSTANTIATE_TEST_SUITE_P(Writes, WriteRecord, testing::ValuesIn(write_cases),
                         [](const testing::TestParamInfo<write_case> &info) {
                           return std::string(info.param.what);
                         });

}  // namespace
