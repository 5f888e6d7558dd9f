#pragma once

// The guard's only window on the process table. One source file per platform
// implements these; nothing else in the tree touches a platform header.
// Every query is a snapshot and keeps no state between calls.

#include <array>
#include <cstddef>
#include <cstdint>

#include <sys/types.h>

static_assert(sizeof(pid_t) == 4, "process IDs are signed 32-bit");

// The two IDs that every process of one job shares. Valid only when both are
// non-zero.
struct coalition_ids {
    uint64_t resource;
    uint64_t jetsam;
};

constexpr bool operator==(const coalition_ids &a, const coalition_ids &b)
{
    return a.resource == b.resource && a.jetsam == b.jetsam;
}

constexpr bool is_valid(const coalition_ids &ids)
{
    return ids.resource != 0 && ids.jetsam != 0;
}

// The most processes one scan ever reports; a larger coalition fails the scan.
constexpr int member_capacity = 16384;
using member_list = std::array<pid_t, member_capacity>;

// The boot session identifier: non-empty, NUL-terminated, shorter than 64 bytes.
constexpr size_t boot_session_size = 64;
using boot_session_id = std::array<char, boot_session_size>;

// 1 and the pair of pid in out when the process exists and its pair is valid;
// 0 otherwise (out is then not to be used).
int identity(pid_t pid, coalition_ids *out);

// Every live, non-zombie process, other than 0, 1 and the caller, whose
// valid pair equals target, in the platform's order: the user's and other
// users' alike, since a job that holds a process the guard may not signal
// is not empty (a scan may leave other users' out while it finds the
// user's own). Where the platform nests jobs (Linux groups below the
// target's), also the processes nested inside target, which carry another
// pair and so are never signalled: a job split that way is never called
// empty. Returns the count written to out, or -1 when the scan failed or
// would exceed member_capacity.
int members(const coalition_ids &target, member_list &out);

// 1 when pid is a live process of the calling user: one whose real,
// effective or saved user ID is the caller's real one; 0 when it is another
// user's, is gone, or can't be told. Quiet: a caller refuses what this can't vouch for.
int is_users_process(pid_t pid);

// Sends sig to pid only when it is the calling user's, by the rule of
// is_users_process, and re-reading its pair finds target. 1 when the signal
// was delivered or the process was already gone; 0 otherwise, including
// whenever the process was another user's or its pair did not match and
// nothing was sent. A root caller is no exception: it never signals another
// user's process either.
int checked_signal(pid_t pid, const coalition_ids &target, int sig);

// 1 with the current boot session identifier in out; 0 when it can't be read
// or is empty.
int read_boot_session(boot_session_id &out);

// 1 when the platform can give a job the pair ids; 0 for a pair that no job
// can carry, or one that would take in processes nobody placed in a job.
int is_job_pair(const coalition_ids &ids);

// Makes the calling process one that its own user can no longer debug or
// look into. The job runs as that user.
void refuse_debuggers();

// Closes every descriptor of the calling process from lowest up.
void close_descriptors_from(int lowest);
