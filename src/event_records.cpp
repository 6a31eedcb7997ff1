#include "event_records.h"

#include <libevdev/libevdev.h>
#include <libinput.h>

#include <cstdio>

namespace {

// The two formats differ only in the event name; they are kept whole so that
// each record is written exactly as the frontend expects to parse it.
constexpr const char key_format[] =
    "{\"event_name\": \"KEYBOARD_KEY\", \"event_type\": %d, \"time_stamp\": %d, "
    "\"key_name\": \"%s\", \"key_code\": %d, \"state_name\": \"%s\", \"state_code\": %d}\n";
constexpr const char button_format[] =
    "{\"event_name\": \"POINTER_BUTTON\", \"event_type\": %d, \"time_stamp\": %d, "
    "\"key_name\": \"%s\", \"key_code\": %d, \"state_name\": \"%s\", \"state_code\": %d}\n";

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
  const char *format = nullptr;
  if (event_type == LIBINPUT_EVENT_KEYBOARD_KEY) {
    format = key_format;
  } else if (event_type == LIBINPUT_EVENT_POINTER_BUTTON) {
    format = button_format;
  } else {
    return 0;
  }
  // libinput's times are 32-bit milliseconds; the frontend has always read
  // them as signed, so times from 2^31 ms on come out negative.
  const int length = std::snprintf(
      buffer, size, format, event_type, static_cast<std::int32_t>(time), name_key_code(code),
      static_cast<int>(code), state == 1 ? "PRESSED" : "RELEASED", state);
  if (length < 0 || static_cast<std::size_t>(length) >= size) {
    return 0;  // never a partial record
  }
  return static_cast<std::size_t>(length);
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
