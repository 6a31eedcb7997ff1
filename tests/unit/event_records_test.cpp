// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
#include "event_records.h"

#include <gtest/gtest.h>
#include <libinput.h>

#include <cstdint>
#include <string>

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

TEST(FormatRecord, NeverWritesAPartialRecord) {
  char buffer[32] = "untouched";
  EXPECT_EQ(format_record(buffer, sizeof buffer, LIBINPUT_EVENT_KEYBOARD_KEY, 1, 30, 1), 0U);
}

// The widest numbers with every name libevdev knows: no record may be lost
// to the size of the buffer.
TEST(FormatRecord, EveryCodeFitsTheBuffer) {
  for (std::uint32_t code = 0; code <= 0x300; ++code) {
    EXPECT_NE(format(LIBINPUT_EVENT_POINTER_BUTTON, 2147483648U, code, 0).size(), 0U)
        << "code " << code;
  }
}

}  // namespace
