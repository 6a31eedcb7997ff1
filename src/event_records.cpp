// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
#include "event_records.h"

#include <libevdev/libevdev.h>
#include <libinput.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
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

// Sleeps until `fd` takes more, as a blocking descriptor would inside write.
bool wait_for_room(int fd) {
  struct pollfd entry = {fd, POLLOUT, 0};
  while (poll(&entry, 1, -1) < 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return true;
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

write_outcome write_record(struct record_output *output, const char *record, std::size_t length) {
  char line[record_size + 1];
  const char *next = record;
  std::size_t left = length;
  if (output->line_open && length < sizeof line) {
    line[0] = '\n';  // ends the cut record's line
    std::memcpy(line + 1, record, length);
    next = line;
    left = length + 1;
  }
  // One write in the normal case: a pipe hands a record of this size to its
  // reader whole, never in two parts.
  while (left > 0) {
    const ssize_t done = output->write(output->fd, next, left);
    if (done > 0) {
      next += done;
      left -= static_cast<std::size_t>(done);
      output->line_open = next[-1] != '\n';
      continue;
    }
    if (done < 0 && errno == EINTR) {
      continue;
    }
    if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_for_room(output->fd)) {
      continue;
    }
    if (done < 0 && errno == EPIPE) {
      return write_outcome::reader_gone;
    }
    return write_outcome::failed;  // a full disk, an I/O error: nothing to wait for
  }
  return write_outcome::written;
}

int handle_events(struct libinput *input, struct record_output *output,
                  const std::atomic<bool> *stop_requested) {
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
    // Written straight to the descriptor, never kept in a buffer: each record
    // has left the process before the next event is taken. A record that
    // cannot be written is not retried; the frontend's stream goes on with
    // the next one.
    if (length > 0 && write_record(output, record, length) == write_outcome::reader_gone) {
      end_without_reader();
    }
    result = 0;
    libinput_event_destroy(event);
  }
  return result;
}

void end_without_reader() {
  // SIGPIPE is unblocked and at its default action from the start, so this
  // does not return; the exit is there should a launcher's setting win anyway.
  std::raise(SIGPIPE);
  std::_Exit(128 + SIGPIPE);
}
