# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""The check every record read from the backend passes, and records as a test
expects them.

A record must be valid under docs/event-record.schema.json and laid out byte
for byte as the frontend may rely on; the schema cannot say the second part
(the order of the members, one blank after each colon and comma, nothing
inside the braces, nothing after the newline), so RECORD_LAYOUT does.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Iterable

import jsonschema

SCHEMA_PATH = Path(__file__).resolve().parents[1] / "docs" / "event-record.schema.json"
RECORD_VALIDATOR = jsonschema.Draft202012Validator(json.loads(SCHEMA_PATH.read_text()))

RECORD_LAYOUT = ('{{"event_name": "{event_name}", "event_type": {event_type}, '
                 '"time_stamp": {time_stamp}, "key_name": "{key_name}", '
                 '"key_code": {key_code}, "state_name": "{state_name}", '
                 '"state_code": {state_code}}}\n')

EVENT_TYPES = {"KEYBOARD_KEY": 300, "POINTER_BUTTON": 402}
STATE_NAMES = {1: "PRESSED", 0: "RELEASED"}

# (key_code, state_code, time_stamp): one key or button change, as a replay
# makes it (devices.key_changes) and as the records tell it (changes_of).
KeyChange = tuple[int, int, int]


def record(time_stamp: int, key_name: str, key_code: int, state_code: int,
           event_name: str = "KEYBOARD_KEY") -> dict:
    """The record the backend writes for one key or button change, decoded."""
    return {"event_name": event_name, "event_type": EVENT_TYPES[event_name],
            "time_stamp": time_stamp, "key_name": key_name, "key_code": key_code,
            "state_name": STATE_NAMES[state_code], "state_code": state_code}


def record_line(decoded: dict) -> str:
    """A record as the backend writes it, newline included."""
    return RECORD_LAYOUT.format(**decoded)


def parse_record(line: str) -> dict:
    """Check one line against the published schema and the exact layout."""
    assert line.endswith("\n") and "\n" not in line[:-1], f"not one whole line: {line!r}"
    decoded = json.loads(line)
    assert isinstance(decoded, dict), f"not a JSON object: {line!r}"
    errors = [error.message for error in RECORD_VALIDATOR.iter_errors(decoded)]
    assert not errors, f"{line!r} breaks the record schema: {errors}"
    assert line == record_line(decoded), f"not laid out as a record: {line!r}"
    return decoded


def parse_records(lines: Iterable[str]) -> list[dict]:
    """Check and decode lines read from the backend's standard output.

    Every line a test reads from the backend comes through here: each must be
    one whole record, valid under the schema and laid out byte for byte as the
    frontend expects, since the frontend reads the stream line by line and
    anything else would break it.
    """
    return [parse_record(line) for line in lines]


def parse_output(data: bytes) -> list[dict]:
    """Check and decode standard output read raw, up to its end: every line a
    complete record, and not a byte after the last newline, which a frontend
    would otherwise take for the start of a record that never comes."""
    assert not data or data.endswith(b"\n"), f"output ends inside a record: {data[-300:]!r}"
    return parse_records(line + "\n" for line in data.decode().split("\n")[:-1])


def changes_of(records: Iterable[dict]) -> list[KeyChange]:
    """(key_code, state_code, time_stamp) of each record, to compare with
    devices.key_changes of the replay."""
    return [(r["key_code"], r["state_code"], r["time_stamp"]) for r in records]
