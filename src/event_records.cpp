// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
#include "event_records.h"

#include <libevdev/libevdev.h>
#include <libinput.h>

#include <cstdio>
#include <cstring>

namespace {

// Records are put together piece by piece rather than with printf: the
// format string parsing was most of what the backend added per event on top
// of libinput's own work. Each helper returns where the next piece goes, or
// null once the buffer is too small, so a record is whole or not there.
char *put_text(char *at, const char *end, const char *text, std::size_t length) {
  if (at == nullptr || static_cast<std::size_t>(end - at) < length) {
    return nullptr;
  }
  std::memcpy(at, text, length);
  return at + length;
}

template <std::size_t size>
char *put_literal(char *at, const char *end, const char (&text)[size]) {
  return put_text(at, end, text, size - 1);
}

char *put_string(char *at, const char *end, const char *text) {
  return put_text(at, end, text, std::strlen(text));
}

// A signed decimal, as %d writes it.
char *put_number(char *at, const char *end, std::int32_t value) {
  char digits[12];
  char *first = digits + sizeof digits;
  std::uint32_t magnitude =
      value < 0 ? 0U - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
  do {
    *--first = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) {
    *--first = '-';
  }
  return put_text(at, end, first, static_cast<std::size_t>(digits + sizeof digits - first));
}

const char *name_key_code(std::uint32_t code) {
  const char *name = libevdev_event_code_get_name(EV_KEY, code);
  return name != nullptr ? name : "null";
}

std::size_t format_key_event(char *buffer, std::size_t size, struct libinput_event *event) {
  struct libinput_event_keyboard *key = libinput_event_get_keyboard_event(event);
  return format_record(buffer, size, LIBINPUT_EVENT_KEYBOARD_KEY,
                       libinput_event_keyboard_get_time(key), libinput_event_keyboard_get_key(key),
                       static_cast<int>(libinput_event_keyboard_get_key_state(key)));
}

std::size_t format_button_event(char *buffer, std::size_t size, struct libinput_event *event) {
  struct libinput_event_pointer *pointer = libinput_event_get_pointer_event(event);
  return format_record(buffer, size, LIBINPUT_EVENT_POINTER_BUTTON,
                       libinput_event_pointer_get_time(pointer),
                       libinput_event_pointer_get_button(pointer),
                       static_cast<int>(libinput_event_pointer_get_button_state(pointer)));
}

}  // namespace

std::size_t format_record(char *buffer, std::size_t size, int event_type, std::uint32_t time,
                          std::uint32_t code, int state) {
  const char *event_name = nullptr;
  if (event_type == LIBINPUT_EVENT_KEYBOARD_KEY) {
    event_name = "KEYBOARD_KEY";
  } else if (event_type == LIBINPUT_EVENT_POINTER_BUTTON) {
    event_name = "POINTER_BUTTON";
  } else {
    return 0;
  }
  const char *end = buffer + size;
  char *at = put_literal(buffer, end, "{\"event_name\": \"");
  at = put_string(at, end, event_name);
  at = put_literal(at, end, "\", \"event_type\": ");
  at = put_number(at, end, event_type);
  at = put_literal(at, end, ", \"time_stamp\": ");
  // libinput's times are 32-bit milliseconds; the frontend has always read
  // them as signed, so times from 2^31 ms on come out negative.
  at = put_number(at, end, static_cast<std::int32_t>(time));
  at = put_literal(at, end, ", \"key_name\": \"");
  at = put_string(at, end, name_key_code(code));
  at = put_literal(at, end, "\", \"key_code\": ");
  at = put_number(at, end, static_cast<std::int32_t>(code));
  at = put_literal(at, end, ", \"state_name\": \"");
  at = put_string(at, end, state == 1 ? "PRESSED" : "RELEASED");
  at = put_literal(at, end, "\", \"state_code\": ");
  at = put_number(at, end, state);
  at = put_literal(at, end, "}\n");
  if (at == nullptr || at == end) {
    return 0;  // never a partial record; room is left for a terminating zero
  }
  *at = '\0';
  return static_cast<std::size_t>(at - buffer);
}

int handle_events(struct libinput *input, const std::atomic<bool> *stop_requested) {
  int result = -1;
  char record[record_size];
  struct libinput_event *event = nullptr;
  while (!stop_requested->load(std::memory_order_acquire) &&
         (event = libinput_get_event(input)) != nullptr) {
    std::size_t length = 0;
    switch (libinput_event_get_type(event)) {
    case LIBINPUT_EVENT_KEYBOARD_KEY:
      length = format_key_event(record, sizeof record, event);
      break;
    case LIBINPUT_EVENT_POINTER_BUTTON:
      length = format_button_event(record, sizeof record, event);
      break;
    default:
      break;  // device changes, motion, scrolling, touch: nothing to report
    }
    // One write per record: a record is never split across two writes, so a
    // reader never sees half of one. The flush after every event, reported or
    // not, is what makes each record leave the process at once.
    if (length > 0) {
      std::fwrite(record, 1, length, stdout);
    }
    std::fflush(stdout);
    result = 0;
    libinput_event_destroy(event);
  }
  return result;
}
