// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
// Containment: once the seat is open the backend needs little more than to
// read devices and write records. It gives up everything else, so that a
// fault in any library reached by a crafted device can do no more than that.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// The identity a backend started as root takes: the user nobody, which owns
// nothing, with the group of the input nodes so that devices plugged in later
// can still be opened.
constexpr uid_t contained_user = 65534;
constexpr gid_t contained_group_without_nodes = 65534;  // nogroup
constexpr gid_t no_node_group = static_cast<gid_t>(-1);

// Contains the calling process, which must still have a single thread, for
// the rest of its life; every thread started afterwards inherits it. In
// order: leaves root for contained_user with `node_group` (when started as
// root), drops every capability, sets no_new_privs, restricts the file system
// with Landlock where the kernel has it, and installs the system-call filter.
// `node_group` is the group that may read the input nodes, or no_node_group.
// Returns false when a layer that this kernel offers could not be put in
// place; the process must then not go on reading input.
bool contain_process(gid_t node_group);

// What the Landlock ruleset handles on a kernel of the given Landlock ABI:
// each access right only from the version that brought it, since a kernel
// refuses a ruleset that names a right it does not know. `size` is how much
// of the ruleset's attribute structure that kernel reads.
struct landlock_rights {
  std::uint64_t fs;
  std::uint64_t net;
  std::uint64_t scoped;
  std::size_t size;
};
landlock_rights landlock_rights_for(int abi);
