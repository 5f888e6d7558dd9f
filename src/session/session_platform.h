#pragma once

// The seam between a session's portable steps (session.cpp) and the
// platform's (session_linux.cpp, session_macos.cpp; CMake picks one). The
// portable side makes the work directory, the pipes, reads and checks the
// guard's lines, writes the start file and judges the outcome; the platform
// side starts the job and the guard, watches them, reads what the job wrote
// as the job's user, and empties and removes what the job leaves.
//
// Work directory layout (the portable side makes it, in keep_dir or a fresh
// temporary directory):
//   WORK/              0711, the caller's     the job may pass, not look
//   WORK/start         0644, the caller's     made after the guard's ready line
//   WORK/job/          0700, the job's user's the runner's working directory:
//                                             result, stdout, stderr
//   WORK/guard/        0700, the caller's,    then 0000 once the guard runs
//   WORK/guard/log/    0700, the job's user's the guard's working directory;
//                                             the guard opens "guard.log" in it
// The guard runs as the job's user, so a log the job's user could reach by
// path would be a log the job could forge: only the guard, whose working
// directory it is, reaches WORK/guard/log, since path lookups from a working
// directory never search its parents. The caller keeps a descriptor of the
// log's directory to read it.
//
// Draft: refine it as the code needs, keeping the split above.

#include <array>
#include <cstddef>
#include <cstdint>

#include <sys/types.h>

#include "coalition/coalition.h"
#include "marloft_session.h"

namespace session {

constexpr size_t path_size = 4096;
constexpr size_t output_budget = 65536;

struct job_user {
    uid_t uid;
    gid_t gid;
    std::array<char, 256> name;
    std::array<char, path_size> home;
};

// What the platform learns of the job it started.
struct job_handle {
    pid_t runner;          // the runner's pid
    int runner_watch;      // a descriptor that turns readable once the runner ends, or -1
    coalition_ids pair;    // the job's pair, as the guard's ready line must name it
    boot_session_id boot;  // the boot session, as the ready line must name it
    std::array<char, 256> target; // the launchd service target, gui/UID/com.marloft.shell.LABEL
    int group_fd;          // Linux: the job's cgroup directory; -1 elsewhere
};

} // namespace session
