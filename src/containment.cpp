// SPDX-License-Identifier: GPL-3.0-or-later
// Copyright (C) 2026 The Tapolux developers
//
// Four layers, each of which holds on its own where the others are missing:
//
// - identity: a backend started as root becomes nobody with the input nodes'
//   group, so root's files, root's Unix sockets and root's processes are out
//   of reach whatever the kernel offers;
// - capabilities: none left in any set, and no_new_privs, so that nothing can
//   win them back;
// - Landlock, where the kernel has it: the file system is read-only, and
//   readable only where a device plugged in later needs it;
// - a system-call filter (libseccomp): no writing or making of files, no new
//   socket, no exec, no tracing, no signal but to itself, no namespaces,
//   mounts, modules, bpf, keyrings, io_uring, perf events or identity change.
//
// A refused call fails with an error (EPERM, or ENOSYS where the C library
// then falls back to an older call); nothing here ends the process.
#include "containment.h"

#include <fcntl.h>
#include <malloc.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/input.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace {

// --- identity and capabilities ---------------------------------------------------

bool started_as_root() {
  uid_t real = 0;
  uid_t effective = 0;
  uid_t saved = 0;
  return getresuid(&real, &effective, &saved) != 0 || real == 0 || effective == 0 || saved == 0;
}

// Only a process that holds CAP_SETPCAP may shrink its bounding set, and one
// started as root loses that with the switch below, so this comes first. A
// process started without it keeps its bounding set: with no_new_privs set
// and exec refused, nothing can gain a capability from it.
void drop_bounding_set() {
  for (int cap = 0; prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; ++cap) {
    prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
  }
}

// Supplementary groups first, then the group, then the user: once the user
// is no longer root, neither of the others can be changed.
bool leave_root(gid_t node_group) {
  const gid_t group =
      node_group == no_node_group || node_group == 0 ? contained_group_without_nodes : node_group;
  if (setgroups(0, nullptr) != 0 || setresgid(group, group, group) != 0 ||
      setresuid(contained_user, contained_user, contained_user) != 0) {
    return false;
  }
  uid_t uids[3] = {};
  gid_t gids[3] = {};
  getresuid(&uids[0], &uids[1], &uids[2]);
  getresgid(&gids[0], &gids[1], &gids[2]);
  for (int i = 0; i < 3; ++i) {
    if (uids[i] != contained_user || gids[i] != group) {
      return false;
    }
  }
  return true;
}

bool drop_capabilities() {
  // Not there before Linux 4.3, where there is no ambient set to clear.
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capset, &header, data) != 0) {
    return false;
  }
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

// --- Landlock --------------------------------------------------------------------

// The kernel's interface, written out here because the C library has no
// wrapper and a distribution's headers may be older than the kernel.
constexpr std::uint64_t fs_read_file = 1ULL << 2;
constexpr std::uint64_t fs_read_dir = 1ULL << 3;
constexpr std::uint64_t fs_first_abi = (1ULL << 13) - 1;        // execute .. make_sym
constexpr std::uint64_t fs_refer = 1ULL << 13;                  // ABI 2
constexpr std::uint64_t fs_truncate = 1ULL << 14;               // ABI 3
constexpr std::uint64_t fs_ioctl_dev = 1ULL << 15;              // ABI 5
constexpr std::uint64_t net_tcp = (1ULL << 0) | (1ULL << 1);    // bind, connect; ABI 4
constexpr std::uint64_t scope_all = (1ULL << 0) | (1ULL << 1);  // abstract sockets, signals; ABI 6
constexpr unsigned create_ruleset_version = 1U << 0;
constexpr int rule_path_beneath = 1;

struct __attribute__((packed)) path_beneath_attr {
  std::uint64_t allowed_access;
  std::int32_t parent_fd;
};

// The only places the backend reads after start-up, each for a device that
// is plugged in later. Anything else, such as the quirks libinput loads once,
// was read before this point. Written to nowhere.
struct readable_place {
  const char *path;
  std::uint64_t access;
  const char *reason;
};
const readable_place readable_places[] = {
    {"/dev/input", fs_read_file | fs_ioctl_dev, "the new device's node, opened read-only"},
    {"/sys", fs_read_file | fs_read_dir,
     "libudev describes the new device from sysfs; libwacom scans /sys/bus and /sys/class"},
    {"/run/udev", fs_read_file | fs_read_dir, "udev's database entry of the new device"},
    {"/usr/share/libwacom", fs_read_file | fs_read_dir,
     "libinput loads the tablet database again for each new tablet"},
    {"/etc/libwacom", fs_read_file | fs_read_dir, "the local additions to that database"},
};

int landlock_abi() {
  const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, create_ruleset_version);
  return abi < 0 ? 0 : static_cast<int>(abi);
}

bool allow_place(int ruleset, const readable_place &place, std::uint64_t handled) {
  // A plain open(), not openat2 or a raw call: whoever stands between the
  // backend and the C library sees the path as it is.
  const int fd = open(place.path, O_PATH | O_CLOEXEC);
  if (fd < 0) {
    return true;  // nothing there that the backend could read: no rule needed
  }
  struct path_beneath_attr rule = {place.access & handled, fd};
  const long added = syscall(SYS_landlock_add_rule, ruleset, rule_path_beneath, &rule, 0);
  close(fd);
  return added == 0;
}

// A kernel without Landlock (not built in, or not among the active security
// modules) leaves this layer out; the others still hold.
bool restrict_file_system() {
  const int abi = landlock_abi();
  if (abi == 0) {
    return errno == ENOSYS || errno == EOPNOTSUPP;
  }
  const landlock_rights rights = landlock_rights_for(abi);
  // The kernel's struct landlock_ruleset_attr, of which it reads `size` bytes.
  const std::uint64_t attr[] = {rights.fs, rights.net, rights.scoped};
  const auto ruleset = static_cast<int>(syscall(SYS_landlock_create_ruleset, attr, rights.size, 0));
  if (ruleset < 0) {
    return false;
  }
  bool ok = true;
  for (const auto &place : readable_places) {
    ok = ok && allow_place(ruleset, place, rights.fs);
  }
  ok = ok && syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
  close(ruleset);
  return ok;
}

// --- the system-call filter ------------------------------------------------------

enum class when {
  always,
  flag_set,    // the argument has `value` set
  flag_clear,  // the argument has `value` clear
  not_self,    // the argument is a process id other than the backend's
  request,     // an ioctl request: the argument's `mask` bits equal `value`
};

struct refusal {
  const char *syscall;
  when condition;
  unsigned arg;
  std::uint64_t value;
  std::uint64_t mask;
  int error;
  const char *reason;
};

constexpr std::uint64_t whole_request = 0xffffffffU;  // an ioctl request is 32 bits wide
constexpr std::uint64_t any_axis = 0xffffffc0U;       // EVIOCSABS(axis), axis 0..63

// Syscalls missing on an architecture are left out when the filter is built.
const refusal refusals[] = {
    // Files: nothing written, made, truncated, renamed or removed.
    {"open", when::flag_set, 1, O_WRONLY, 0, EPERM, "opening for writing"},
    {"open", when::flag_set, 1, O_RDWR, 0, EPERM, "opening for writing"},
    {"open", when::flag_set, 1, O_CREAT, 0, EPERM, "creating a file"},
    {"open", when::flag_set, 1, O_TRUNC, 0, EPERM, "truncating a file"},
    {"openat", when::flag_set, 2, O_WRONLY, 0, EPERM, "opening for writing"},
    {"openat", when::flag_set, 2, O_RDWR, 0, EPERM, "opening for writing"},
    {"openat", when::flag_set, 2, O_CREAT, 0, EPERM, "creating a file"},
    {"openat", when::flag_set, 2, O_TRUNC, 0, EPERM, "truncating a file"},
    {"openat2", when::always, 0, 0, 0, ENOSYS,
     "its flags lie where a filter cannot read them; ENOSYS sends the caller to openat"},
    {"open_by_handle_at", when::always, 0, 0, 0, EPERM, "opening around path checks"},
    {"creat", when::always, 0, 0, 0, EPERM, "creating a file"},
    {"truncate", when::always, 0, 0, 0, EPERM, "truncating a file"},
    {"ftruncate", when::always, 0, 0, 0, EPERM, "truncating a file"},
    {"fallocate", when::always, 0, 0, 0, EPERM, "growing or punching a file"},
    {"rename", when::always, 0, 0, 0, EPERM, "renaming a file"},
    {"renameat", when::always, 0, 0, 0, EPERM, "renaming a file"},
    {"renameat2", when::always, 0, 0, 0, EPERM, "renaming a file"},
    {"unlink", when::always, 0, 0, 0, EPERM, "removing a file"},
    {"unlinkat", when::always, 0, 0, 0, EPERM, "removing a file"},
    {"rmdir", when::always, 0, 0, 0, EPERM, "removing a folder"},
    {"mkdir", when::always, 0, 0, 0, EPERM, "making a folder"},
    {"mkdirat", when::always, 0, 0, 0, EPERM, "making a folder"},
    {"mknod", when::always, 0, 0, 0, EPERM, "making a node"},
    {"mknodat", when::always, 0, 0, 0, EPERM, "making a node"},
    {"link", when::always, 0, 0, 0, EPERM, "linking a file"},
    {"linkat", when::always, 0, 0, 0, EPERM, "linking a file"},
    {"symlink", when::always, 0, 0, 0, EPERM, "making a symbolic link"},
    {"symlinkat", when::always, 0, 0, 0, EPERM, "making a symbolic link"},
    {"chmod", when::always, 0, 0, 0, EPERM, "changing a file's mode"},
    {"fchmod", when::always, 0, 0, 0, EPERM, "changing a file's mode"},
    {"fchmodat", when::always, 0, 0, 0, EPERM, "changing a file's mode"},
    {"chown", when::always, 0, 0, 0, EPERM, "changing a file's owner"},
    {"fchown", when::always, 0, 0, 0, EPERM, "changing a file's owner"},
    {"lchown", when::always, 0, 0, 0, EPERM, "changing a file's owner"},
    {"fchownat", when::always, 0, 0, 0, EPERM, "changing a file's owner"},
    {"utime", when::always, 0, 0, 0, EPERM, "changing a file's times"},
    {"utimes", when::always, 0, 0, 0, EPERM, "changing a file's times"},
    {"futimesat", when::always, 0, 0, 0, EPERM, "changing a file's times"},
    {"utimensat", when::always, 0, 0, 0, EPERM, "changing a file's times"},
    {"setxattr", when::always, 0, 0, 0, EPERM, "writing a file's attributes"},
    {"lsetxattr", when::always, 0, 0, 0, EPERM, "writing a file's attributes"},
    {"fsetxattr", when::always, 0, 0, 0, EPERM, "writing a file's attributes"},
    {"removexattr", when::always, 0, 0, 0, EPERM, "removing a file's attributes"},
    {"lremovexattr", when::always, 0, 0, 0, EPERM, "removing a file's attributes"},
    {"fremovexattr", when::always, 0, 0, 0, EPERM, "removing a file's attributes"},

    // Sockets: the uevent socket libudev made at start-up is all it needs;
    // with no new socket, connect() reaches nothing but the sockets held.
    {"socket", when::always, 0, 0, 0, EPERM, "making a socket"},
    {"socketpair", when::always, 0, 0, 0, EPERM, "making a socket"},
    {"bind", when::always, 0, 0, 0, EPERM, "serving on a socket"},
    {"listen", when::always, 0, 0, 0, EPERM, "serving on a socket"},
    {"accept", when::always, 0, 0, 0, EPERM, "serving on a socket"},
    {"accept4", when::always, 0, 0, 0, EPERM, "serving on a socket"},

    // Programs: nothing run, no copy of itself made.
    {"execve", when::always, 0, 0, 0, EPERM, "running a program"},
    {"execveat", when::always, 0, 0, 0, EPERM, "running a program"},
    {"fork", when::always, 0, 0, 0, EPERM, "making a process"},
    {"vfork", when::always, 0, 0, 0, EPERM, "making a process"},
    {"clone", when::flag_clear, 0, CLONE_THREAD, 0, EPERM, "making a process, not a thread"},
    {"clone3", when::always, 0, 0, 0, ENOSYS,
     "its flags lie where a filter cannot read them; ENOSYS sends the C library to clone"},

    // Other processes: not traced, read, written, signalled or reprioritised.
    {"ptrace", when::always, 0, 0, 0, EPERM, "tracing a process"},
    {"process_vm_readv", when::always, 0, 0, 0, EPERM, "reading another process"},
    {"process_vm_writev", when::always, 0, 0, 0, EPERM, "writing another process"},
    {"pidfd_getfd", when::always, 0, 0, 0, EPERM, "taking another process's descriptor"},
    {"pidfd_send_signal", when::always, 0, 0, 0, EPERM, "signalling another process"},
    {"kill", when::not_self, 0, 0, 0, EPERM, "signalling another process; SIGPIPE to itself stays"},
    {"tgkill", when::not_self, 0, 0, 0, EPERM, "signalling another process"},
    {"tkill", when::always, 0, 0, 0, EPERM, "signalling a thread that may not be its own"},
    {"rt_sigqueueinfo", when::not_self, 0, 0, 0, EPERM, "signalling another process"},
    {"rt_tgsigqueueinfo", when::not_self, 0, 0, 0, EPERM, "signalling another process"},
    {"setpriority", when::always, 0, 0, 0, EPERM, "reprioritising a process"},
    {"ioprio_set", when::always, 0, 0, 0, EPERM, "reprioritising a process"},
    {"sched_setscheduler", when::always, 0, 0, 0, EPERM, "reprioritising a process"},
    {"sched_setparam", when::always, 0, 0, 0, EPERM, "reprioritising a process"},
    {"sched_setattr", when::always, 0, 0, 0, EPERM, "reprioritising a process"},

    // The identity: it stays what it became above.
    {"setuid", when::always, 0, 0, 0, EPERM, "changing identity"},
    {"setgid", when::always, 0, 0, 0, EPERM, "changing identity"},
    {"setreuid", when::always, 0, 0, 0, EPERM, "changing identity"},
    {"setregid", when::always, 0, 0, 0, EPERM, "changing identity"},
    {"setresuid", when::always, 0, 0, 0, EPERM, "changing identity"},
    {"setresgid", when::always, 0, 0, 0, EPERM, "changing identity"},
    {"setgroups", when::always, 0, 0, 0, EPERM, "changing identity"},
    {"setfsuid", when::always, 0, 0, 0, EPERM, "changing identity"},
    {"setfsgid", when::always, 0, 0, 0, EPERM, "changing identity"},
    {"capset", when::always, 0, 0, 0, EPERM, "changing capabilities"},

    // The kernel: namespaces, mounts, modules and the rest of its
    // administration, and the interfaces that have been ways into it.
    {"unshare", when::always, 0, 0, 0, EPERM, "entering a new namespace"},
    {"setns", when::always, 0, 0, 0, EPERM, "entering another namespace"},
    {"clone", when::flag_set, 0, CLONE_NEWNS, 0, EPERM, "a thread in a new namespace"},
    {"clone", when::flag_set, 0, CLONE_NEWCGROUP, 0, EPERM, "a thread in a new namespace"},
    {"clone", when::flag_set, 0, CLONE_NEWUTS, 0, EPERM, "a thread in a new namespace"},
    {"clone", when::flag_set, 0, CLONE_NEWIPC, 0, EPERM, "a thread in a new namespace"},
    {"clone", when::flag_set, 0, CLONE_NEWUSER, 0, EPERM, "a thread in a new namespace"},
    {"clone", when::flag_set, 0, CLONE_NEWPID, 0, EPERM, "a thread in a new namespace"},
    {"clone", when::flag_set, 0, CLONE_NEWNET, 0, EPERM, "a thread in a new namespace"},
    {"mount", when::always, 0, 0, 0, EPERM, "mounting"},
    {"umount2", when::always, 0, 0, 0, EPERM, "unmounting"},
    {"pivot_root", when::always, 0, 0, 0, EPERM, "changing the root"},
    {"chroot", when::always, 0, 0, 0, EPERM, "changing the root"},
    {"open_tree", when::always, 0, 0, 0, EPERM, "mounting"},
    {"move_mount", when::always, 0, 0, 0, EPERM, "mounting"},
    {"fsopen", when::always, 0, 0, 0, EPERM, "mounting"},
    {"fsconfig", when::always, 0, 0, 0, EPERM, "mounting"},
    {"fsmount", when::always, 0, 0, 0, EPERM, "mounting"},
    {"fspick", when::always, 0, 0, 0, EPERM, "mounting"},
    {"mount_setattr", when::always, 0, 0, 0, EPERM, "changing a mount"},
    {"init_module", when::always, 0, 0, 0, EPERM, "loading a module"},
    {"finit_module", when::always, 0, 0, 0, EPERM, "loading a module"},
    {"delete_module", when::always, 0, 0, 0, EPERM, "unloading a module"},
    {"kexec_load", when::always, 0, 0, 0, EPERM, "loading a kernel"},
    {"kexec_file_load", when::always, 0, 0, 0, EPERM, "loading a kernel"},
    {"bpf", when::always, 0, 0, 0, EPERM, "loading a bpf program"},
    {"keyctl", when::always, 0, 0, 0, EPERM, "using the keyrings"},
    {"add_key", when::always, 0, 0, 0, EPERM, "using the keyrings"},
    {"request_key", when::always, 0, 0, 0, EPERM, "using the keyrings"},
    {"io_uring_setup", when::always, 0, 0, 0, EPERM, "io_uring, which no filter can see into"},
    {"io_uring_enter", when::always, 0, 0, 0, EPERM, "io_uring, which no filter can see into"},
    {"io_uring_register", when::always, 0, 0, 0, EPERM, "io_uring, which no filter can see into"},
    {"perf_event_open", when::always, 0, 0, 0, EPERM, "watching processes and the kernel"},
    {"userfaultfd", when::always, 0, 0, 0, EPERM, "a way into kernel races"},
    {"reboot", when::always, 0, 0, 0, EPERM, "administering the machine"},
    {"swapon", when::always, 0, 0, 0, EPERM, "administering the machine"},
    {"swapoff", when::always, 0, 0, 0, EPERM, "administering the machine"},
    {"acct", when::always, 0, 0, 0, EPERM, "administering the machine"},
    {"quotactl", when::always, 0, 0, 0, EPERM, "administering the machine"},
    {"syslog", when::always, 0, 0, 0, EPERM, "reading the kernel's log"},
    {"iopl", when::always, 0, 0, 0, EPERM, "reaching hardware ports"},
    {"ioperm", when::always, 0, 0, 0, EPERM, "reaching hardware ports"},
    {"settimeofday", when::always, 0, 0, 0, EPERM, "setting the clock"},
    {"clock_settime", when::always, 0, 0, 0, EPERM, "setting the clock"},
    {"clock_adjtime", when::always, 0, 0, 0, EPERM, "setting the clock"},
    {"adjtimex", when::always, 0, 0, 0, EPERM, "setting the clock"},
    {"sethostname", when::always, 0, 0, 0, EPERM, "renaming the machine"},
    {"setdomainname", when::always, 0, 0, 0, EPERM, "renaming the machine"},

    // Devices and terminals: nothing typed, grabbed or reconfigured. The
    // nodes are read-only, so write() already fails on them; these requests
    // do not need write access. EVIOCSCLOCKID stays: libinput sets it.
    {"ioctl", when::request, 1, TIOCSTI, whole_request, EPERM, "typing into a terminal"},
    {"ioctl", when::request, 1, TIOCLINUX, whole_request, EPERM, "typing into a console"},
    {"ioctl", when::request, 1, EVIOCGRAB, whole_request, EPERM, "taking a device from others"},
    {"ioctl", when::request, 1, EVIOCREVOKE, whole_request, EPERM, "taking a device from others"},
    {"ioctl", when::request, 1, EVIOCSKEYCODE, whole_request, EPERM, "remapping a device"},
    {"ioctl", when::request, 1, EVIOCSKEYCODE_V2, whole_request, EPERM, "remapping a device"},
    {"ioctl", when::request, 1, EVIOCSREP, whole_request, EPERM, "reconfiguring a device"},
    {"ioctl", when::request, 1, EVIOCSFF, whole_request, EPERM, "driving a device's motors"},
    {"ioctl", when::request, 1, EVIOCRMFF, whole_request, EPERM, "driving a device's motors"},
    {"ioctl", when::request, 1, EVIOCSABS(0), any_axis, EPERM, "reconfiguring a device"},
    {"ioctl", when::request, 1, EVIOCSMASK, whole_request, EPERM, "hiding events from others"},
};

bool add_refusal(scmp_filter_ctx filter, const refusal &entry, pid_t self) {
  const int number = seccomp_syscall_resolve_name(entry.syscall);
  if (number == __NR_SCMP_ERROR) {
    return true;  // not a syscall on this architecture
  }
  const std::uint32_t action = SCMP_ACT_ERRNO(static_cast<std::uint32_t>(entry.error));
  struct scmp_arg_cmp compare = {};
  compare.arg = entry.arg;
  switch (entry.condition) {
  case when::always:
    return seccomp_rule_add_array(filter, action, number, 0, nullptr) == 0;
  case when::flag_set:
    compare.op = SCMP_CMP_MASKED_EQ;
    compare.datum_a = entry.value;
    compare.datum_b = entry.value;
    break;
  case when::flag_clear:
    compare.op = SCMP_CMP_MASKED_EQ;
    compare.datum_a = entry.value;
    compare.datum_b = 0;
    break;
  case when::not_self:
    compare.op = SCMP_CMP_NE;
    compare.datum_a = static_cast<scmp_datum_t>(self);
    break;
  case when::request:
    compare.op = SCMP_CMP_MASKED_EQ;
    compare.datum_a = entry.mask;
    compare.datum_b = entry.value;
    break;
  }
  return seccomp_rule_add_array(filter, action, number, 1, &compare) == 0;
}

// Everything not refused above is allowed: the libraries below the backend
// (libinput, libudev, libevdev, mtdev, libwacom, glib) decide for themselves
// what they call, and a call they need must never end the backend.
bool install_filter() {
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  if (filter == nullptr) {
    return false;
  }
  // A foreign system-call table (32-bit calls from this 64-bit process, say)
  // would get past every rule above, so it gets nothing at all.
  // The filter runs on every system call, the record's write included: a
  // binary tree of the refused calls keeps that to a few comparisons.
  bool ok = seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(ENOSYS)) == 0 &&
            seccomp_attr_set(filter, SCMP_FLTATR_API_SYSRAWRC, 1) == 0 &&
            seccomp_attr_set(filter, SCMP_FLTATR_CTL_OPTIMIZE, 2) == 0;
  // Every thread, should a library have started one of its own. Only the
  // seccomp() call can do that: where it is missing (before Linux 3.17, or
  // under valgrind, which does not know it) there are no filters to offer.
  const int every_thread = seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1);
  if (every_thread == -EOPNOTSUPP) {
    seccomp_release(filter);
    return true;
  }
  ok = ok && every_thread == 0;
  const pid_t self = getpid();
  for (const auto &entry : refusals) {
    ok = ok && add_refusal(filter, entry, self);
  }
  ok = ok && seccomp_load(filter) == 0;
  seccomp_release(filter);
  // Building the filter takes libseccomp a few hundred kilobytes of heap,
  // which free() keeps; the backend runs for hours and never needs them again.
  malloc_trim(0);
  return ok;
}

}  // namespace

landlock_rights landlock_rights_for(int abi) {
  landlock_rights rights = {fs_first_abi, 0, 0, sizeof rights.fs};
  if (abi >= 2) {
    rights.fs |= fs_refer;
  }
  if (abi >= 3) {
    rights.fs |= fs_truncate;
  }
  if (abi >= 4) {
    rights.net = net_tcp;
    rights.size += sizeof rights.net;
  }
  if (abi >= 5) {
    rights.fs |= fs_ioctl_dev;
  }
  if (abi >= 6) {
    rights.scoped = scope_all;
    rights.size += sizeof rights.scoped;
  }
  return rights;
}

bool contain_process(gid_t node_group) {
  const bool root = started_as_root();
  drop_bounding_set();
  if (root && !leave_root(node_group)) {
    return false;
  }
  return drop_capabilities() && restrict_file_system() && install_filter();
}
