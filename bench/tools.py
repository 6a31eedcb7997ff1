# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
"""What bench/meson.build built (the file it writes from bench/tools.in), and the error that stops the benchmark."""

from __future__ import annotations

import dataclasses
import os
import pathlib


class BenchError(RuntimeError):
    pass


@dataclasses.dataclass(frozen=True)
class Tools:
    """What bench/meson.build built, read from the file it writes (bench/tools
    in the build): the backend, the floor, the probe, the emulation's fixes,
    the replay and the reader."""

    backend: str
    floor: str
    probe: str
    fixes: str
    replay: str
    reader: str

    @classmethod
    def read(cls, path: str) -> "Tools":
        paths = {}
        for line in pathlib.Path(path).read_text().splitlines():
            if line.strip() and not line.startswith("#"):
                name, _, value = line.partition("=")
                paths[name.strip()] = value.strip()
        names = [f.name for f in dataclasses.fields(cls)]
        missing = [n for n in names if not os.path.exists(paths.get(n, ""))]
        if missing:
            raise BenchError(f"{path}: not built: {', '.join(missing)}")
        return cls(**{n: paths[n] for n in names})
