// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
#include "containment.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct abi_case {
  int abi;
  std::uint64_t fs;
  std::uint64_t net;
  std::uint64_t scoped;
  std::size_t size;
};

// From the kernel's documentation of each Landlock version: 13 file-system
// rights in the first, REFER in the second, TRUNCATE in the third, TCP
// bind and connect in the fourth (with the net field), IOCTL_DEV in the
// fifth, the scopes in the sixth (with the scoped field). Debian 12's 6.1
// kernel has at most the second: handing it a later right would make it
// refuse the whole ruleset, and the backend would end with status 5.
const abi_case abi_cases[] = {
    {1, 0x1fff, 0, 0, 8},      {2, 0x3fff, 0, 0, 8},    {3, 0x7fff, 0, 0, 8},
    {4, 0x7fff, 0x3, 0, 16},   {5, 0xffff, 0x3, 0, 16}, {6, 0xffff, 0x3, 0x3, 24},
    {7, 0xffff, 0x3, 0x3, 24},
};

class LandlockRights : public testing::TestWithParam<abi_case> {};

TEST_P(LandlockRights, only_what_that_kernel_knows) {
  const abi_case expected = GetParam();
  const landlock_rights rights = landlock_rights_for(expected.abi);
  EXPECT_EQ(rights.fs, expected.fs);
  EXPECT_EQ(rights.net, expected.net);
  EXPECT_EQ(rights.scoped, expected.scoped);
  EXPECT_EQ(rights.size, expected.size);
}

INSTANTIATE_TEST_SUITE_P(Abi, LandlockRights, testing::ValuesIn(abi_cases),
                         [](const testing::TestParamInfo<abi_case> &info) {
                           return "abi_" + std::to_string(info.param.abi);
                         });

// The layout of the structure and the rights as this machine's kernel reads
// them: it takes the ruleset of every version up to its own.
TEST(LandlockRights, this_kernel_takes_the_ruleset_of_every_version_it_knows) {
  const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U);
  if (abi < 1) {
    const char *no_skip = std::getenv("TAPOLUX_NO_SKIP");
    if (no_skip != nullptr && std::strcmp(no_skip, "1") == 0) {
      FAIL() << "this kernel has no Landlock (" << std::strerror(errno) << ")";
    }
    GTEST_SKIP() << "this kernel has no Landlock";
  }
  for (int version = 1; version <= abi && version <= 7; ++version) {
    const landlock_rights rights = landlock_rights_for(version);
    const std::uint64_t attr[] = {rights.fs, rights.net, rights.scoped};
    const long ruleset = syscall(SYS_landlock_create_ruleset, attr, rights.size, 0);
    EXPECT_GE(ruleset, 0) << "version " << version << ": " << std::strerror(errno);
    if (ruleset >= 0) {
      close(static_cast<int>(ruleset));
    }
  }
}

}  // namespace
