# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""The check that every received record passes: it must refuse what a
frontend could not rely on, or the process-level tests would prove nothing."""

import pytest

from emulation import parse_records

GOOD = ('{"event_name": "KEYBOARD_KEY", "event_type": 300, "time_stamp": -1, '
        '"key_name": "KEY_A", "key_code": 30, "state_name": "PRESSED", "state_code": 1}\n')


def test_accepts_a_record():
    assert parse_records([GOOD]) == [{
        "event_name": "KEYBOARD_KEY", "event_type": 300, "time_stamp": -1,
        "key_name": "KEY_A", "key_code": 30, "state_name": "PRESSED", "state_code": 1}]


@pytest.mark.parametrize("line", [
    GOOD[:-1],                                                # no newline
    GOOD.replace('"KEY_A"', '"KEY_A\\n"'),                    # escaped newline in a name
    GOOD.replace('"key_name": "KEY_A"', '"key_name": null'),  # JSON null, not "null"
    GOOD.replace("300", "402"),                               # type of the other kind
    GOOD.replace('"PRESSED"', '"RELEASED"'),                  # name and code disagree
    GOOD.replace("-1", "4294967295"),                         # time not wrapped
    GOOD.replace(', "state_code": 1}', "}"),                  # member missing
    GOOD.replace("}", ', "extra": 0}'),                       # member too many
    GOOD.replace('{"event_name": "KEYBOARD_KEY", "event_type": 300',
                 '{"event_type": 300, "event_name": "KEYBOARD_KEY"'),  # order
    GOOD.replace(": ", ":"),                                  # blanks
    GOOD.replace("{", "{ "),
    GOOD.replace("}\n", "} \n"),
    GOOD.replace(GOOD, GOOD[:60] + "\n"),                      # torn record
], ids=lambda line: repr(line)[:40])
def test_refuses(line):
    with pytest.raises((AssertionError, ValueError)):
        parse_records([line])
