#pragma once

// Every status the executable can end with. The sub-commands own disjoint
// ranges so a caller can tell from the number alone which step failed.

// 0: guard emptied its coalition; usage found the tree within its limits.
constexpr int exit_ok = 0;
// Fewer than two arguments, an unknown sub-command word, or "usage" with an
// argument count other than 3.
constexpr int exit_dispatch = 1;

// guard
constexpr int exit_guard_arguments = 2;     // count, owner pid, target prefix or deadline
constexpr int exit_guard_target = 3;        // boot id unreadable, member unusable, mismatched or not the user's, ambiguous target
constexpr int exit_guard_descriptor = 4;    // descriptor 3 not open, or the log can't be opened
constexpr int exit_guard_stop_scan = 6;     // a membership scan failed during the stop rounds
constexpr int exit_guard_kill_scan = 7;     // a membership scan failed during the kill rounds
constexpr int exit_guard_remaining = 8;     // live members remained after the last kill round
constexpr int exit_guard_summary = 9;       // emptied, but the summary line could not be written whole
constexpr int exit_guard_boot_session = 10; // the boot session differs from the expected one

// run
constexpr int exit_run_arguments = 20;      // argument count other than 7
constexpr int exit_run_no_start = 21;       // the start file did not appear in time
constexpr int exit_run_pipe = 22;           // creating an output pipe failed
constexpr int exit_run_fork = 23;           // the fork failed
constexpr int exit_run_capture_create = 24; // creating a capture file failed; the child was killed
constexpr int exit_run_capture_write = 25;  // a capture write failed or was short while the child ran
constexpr int exit_run_drain_write = 26;    // a capture write failed or was short while draining
constexpr int exit_run_result_create = 27;  // the temporary result file could not be created
constexpr int exit_run_result_commit = 28;  // writing, closing or renaming the result file failed, or its path names a capture file

// usage
constexpr int exit_usage_root = 30;         // the root directory could not be opened
constexpr int exit_usage_exceeded = 31;     // a limit was crossed or the walk failed

// A forked child whose exec of /bin/bash or /bin/launchctl returned.
constexpr int exit_exec_failed = 127;
