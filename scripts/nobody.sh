# shellcheck shell=bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (C) 2026 The Tapolux developers
#
# Running the project's commands the way a distribution builds it: as an
# unprivileged user (nobody), without network, in a copy of the tree that
# user owns. Sourced by scripts/check-packaging and scripts/soak (as root).

# nobody_tree WORK: copies the tree into WORK/tree and gives WORK, and all
# in it, to nobody. In a git checkout the copy holds the files git knows of
# (tracked, or untracked and not ignored), so no build folder comes along.
nobody_tree() {
  local copy=$1/tree
  mkdir "$copy"
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard |
      while IFS= read -r -d '' file; do
        [[ -e $file ]] && printf '%s\0' "$file"
      done | tar --null -T - -cf - | tar -xf - -C "$copy"
  else
    tar --exclude='./build*' -cf - . | tar -xf - -C "$copy"
  fi
  chown -R nobody: "$1"
}

# as_nobody DIR SCRIPT: runs the bash text SCRIPT as nobody, without network,
# in DIR, which is also its home, failing on the first failing command. Tests
# that need root must skip there, so the switch that turns skips into
# failures (TAPOLUX_NO_SKIP) is left out of its environment, as is CI.
as_nobody() {
  local dir=$1 script=$2
  # shellcheck disable=SC2016 # expanded by the inner shell, as nobody
  unshare --net runuser -u nobody -- env -u TAPOLUX_NO_SKIP -u CI HOME="$dir" \
    bash -c 'set -euo pipefail; cd "$HOME"; eval "$1"' bash "$script"
}
