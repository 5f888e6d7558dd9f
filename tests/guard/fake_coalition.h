#pragma once

// A scripted process table behind the coalition queries, for driving the
// guard through situations a real machine won't produce on demand: scans
// that fail, members that can't be killed, a coalition that keeps growing.
// Linked into a test in place of the platform backend. Every query, and every
// signal actually sent, is traced so a test can tell what the guard asked and
// what it signalled.

#include <string>
#include <vector>

#include "coalition/coalition.h"

struct fake_process {
    pid_t pid = 0;
    coalition_ids ids{};
    // SIGKILLs it takes before it is gone; an unkillable process never goes.
    int kills_to_die = 1;
    bool unkillable = false;
    // Listed from this scan (0-based count of members() calls) onward: a
    // process the job starts while the guard is at work.
    int appears_at_scan = 0;
    bool stopped = false;
    bool gone = false;
    // Another user's: listed, but never signalled, and is_users_process
    // won't vouch for it.
    bool other_users = false;
};

struct fake_table {
    // What read_boot_session answers; empty means it fails. With
    // fill_boot_buffer the whole buffer is filled, leaving no terminator.
    std::string boot = "fake-boot-1";
    bool fill_boot_buffer = false;
    coalition_ids guard_ids{2, 2}; // identity of the calling process
    std::vector<fake_process> processes;
    int failing_scan = -1;         // members() call that returns -1
    int scans = 0;                 // members() calls so far
    int trace_fd = -1;             // one line per query, when >= 0
    // A path the first scan writes a forged summary into, through a
    // descriptor of its own, as a job that can reach the log would.
    std::string forge_into;
};

// The table the queries answer from; a test fills it before it forks the
// guard.
fake_table &fake();
