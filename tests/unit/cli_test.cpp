// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
#include "cli.h"

#include "version.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

namespace {

const char help_text[] =
    "The backend of Tapolux.\n"
    "Version " TAPOLUX_VERSION
    ".\n"
    "Usage: /usr/libexec/tapolux-backend [OPTION\xe2\x80\xa6]\n"
    "Options:\n"
    "\t-h, --help\tDisplay help then exit.\n"
    "\t-v, --version\tDisplay version then exit.\n"
    "Warning: This is the backend and is not designed to run by users. You should run the "
    "frontend of Tapolux, and the frontend will run this.\n";

struct outcome {
  int status;
  std::string out;
  std::string err;
};

// Runs the option handling on a copy of `args`, the way the process gets
// them, and collects what it writes.
outcome handle(std::vector<std::string> args) {
  std::vector<char *> argv;
  for (std::string &arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  char *text = nullptr;
  std::size_t size = 0;
  FILE *out = open_memstream(&text, &size);
  testing::internal::CaptureStderr();
  const int status = handle_options(static_cast<int>(args.size()), argv.data(), out);
  std::string err = testing::internal::GetCapturedStderr();
  std::fclose(out);
  std::string written(text, size);
  std::free(text);
  return {status, written, err};
}

struct option_case {
  const char *what;
  std::vector<std::string> args;
  int status;
  const char *out;
  bool diagnostic;  // the option parser complains on standard error
};

// Failures name the case rather than dump its bytes.
void PrintTo(const option_case &c, std::ostream *out) { *out << c.what; }

class HandleOptions : public testing::TestWithParam<option_case> {};

TEST_P(HandleOptions, AnswersInOrder) {
  const option_case &c = GetParam();
  const outcome result = handle(c.args);
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.out, c.out);
  EXPECT_EQ(!result.err.empty(), c.diagnostic) << result.err;
}

const std::string program = "/usr/libexec/tapolux-backend";
const char version_text[] = TAPOLUX_VERSION "\n";

const option_case option_cases[] = {
    {"no_options", {program}, start_backend, "", false},
    {"short_help", {program, "-h"}, 0, help_text, false},
    {"long_help", {program, "--help"}, 0, help_text, false},
    {"abbreviated_help", {program, "--he"}, 0, help_text, false},
    {"short_version", {program, "-v"}, 0, version_text, false},
    {"long_version", {program, "--version"}, 0, version_text, false},
    {"abbreviated_version", {program, "--vers"}, 0, version_text, false},
    {"version_before_help", {program, "-v", "-h"}, 0, version_text, false},
    {"help_before_version", {program, "-h", "-v"}, 0, help_text, false},
    {"grouped_version_first", {program, "-vh"}, 0, version_text, false},
    {"unknown_option_starts", {program, "-x"}, start_backend, "", true},
    {"unknown_long_option_starts", {program, "--verbose"}, start_backend, "", true},
    {"unknown_then_version", {program, "-x", "-v"}, 0, version_text, true},
    {"option_with_argument", {program, "--help=yes"}, start_backend, "", true},
    {"arguments_ignored", {program, "seat1", "stop"}, start_backend, "", false},
    {"argument_then_version", {program, "seat1", "-v"}, 0, version_text, false},
    {"after_double_dash_ignored", {program, "--", "-v"}, start_backend, "", false},
};

INSTANTIATE_TEST_SUITE_P(Options, HandleOptions, testing::ValuesIn(option_cases),
                         [](const testing::TestParamInfo<option_case> &info) {
                           return std::string(info.param.what);
                         });

// The wording belongs to the option parser; what counts is that it names the
// program and the option, on one line of standard error.
TEST(HandleOptions, UnknownOptionGetsTheParsersOwnDiagnostic) {
  for (const std::string option : {"-x", "--verbose"}) {
    const outcome result = handle({"some-backend", option});
    EXPECT_EQ(result.err.rfind("some-backend: ", 0), 0U) << result.err;
    EXPECT_NE(result.err.find(option.substr(option.find_first_not_of('-'))), std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
  }
}

TEST(PrintUsage, ShowsTheProgramPathAsInvoked) {
  for (const std::string path : {"tapolux-backend", "./build/tapolux-backend", "/a b/backend"}) {
    const outcome result = handle({path, "-h"});
    EXPECT_NE(result.out.find("Usage: " + path + " [OPTION\xe2\x80\xa6]\n"), std::string::npos)
        << result.out;
  }
}

}  // namespace
