#pragma once

// The seam between a session's portable steps (session.cpp) and the
// platform's (session_linux.cpp, session_macos.cpp; CMake picks one). The
// portable side makes the work directory and the pipes, reads and checks the
// guard's lines, writes the start file, waits, and judges the outcome; the
// platform side starts the job and the guard, watches them, reads what the
// job wrote as the job's user, and empties and removes what the job leaves.
//
// Work directory layout (the portable side makes it, in keep_dir or a fresh
// temporary directory):
//   WORK/              0711, the caller's     the job may pass, not look
//   WORK/marloft-shell 0711, the caller's     execute-only copy the job and
//                                             guard run (not dumpable from exec)
//   WORK/start         0644, the caller's     made after the guard's ready line
//   WORK/job/          0700, the job's user's the runner's working directory:
//                                             result, stdout, stderr
//   WORK/guard/        0700, the caller's     the job's user can't search it
//                                             (on Linux; on macOS it is the
//                                             caller, who can)
//   WORK/guard/log/    0700, the job's user's the guard's working directory:
//                                             guard.log, a FIFO the session
//                                             reads and unlinks once the guard
//                                             has opened it (see session.cpp)
//   WORK/guard.log     0600, the caller's     what the guard logged, in a kept
//                                             work directory only
// The guard reaches its log from its working directory, since path lookups
// from a working directory never search its parents; so every path the job
// and the guard are given is relative to their working directories, and
// marloft-shell is run through a descriptor: WORK may lie below directories
// the job's user can't search.

#include <array>
#include <cstddef>
#include <cstdint>

#include <sys/types.h>

#include "coalition/coalition.h"
#include "session/include/marloft_session.h"

namespace session {

constexpr size_t path_size = 4096;
constexpr size_t output_budget = 65536;
constexpr size_t record_budget = 256;
constexpr size_t name_size = 256;
constexpr size_t log_budget = 16384;

struct job_user {
    uid_t uid;
    gid_t gid;
    std::array<char, name_size> name;
    std::array<char, path_size> home;
};

// The work directory, as the portable side made it.
struct work_dir {
    std::array<char, path_size> path;
    int fd;         // WORK
    int job_fd;     // WORK/job
    int log_dir_fd; // WORK/guard/log
    int shell_fd;   // WORK/marloft-shell, for exec by descriptor
};

// What the platform learns of the job it started.
struct job_handle {
    pid_t runner;          // the runner's pid, the caller's child
    int runner_watch;      // turns readable once the runner ends, or -1
    int result_watch;      // turns readable when WORK/job changes, or -1
    coalition_ids pair;    // the job's pair, as the guard's ready line must name it
    boot_session_id boot;  // the boot session, as the ready line must name it
    std::array<char, name_size> target; // gui/UID/com.marloft.shell.session-UNIQUE
    int group_fd;          // Linux: the job's cgroup directory; -1 elsewhere
    std::array<char, path_size> group_path; // Linux: that directory's path
};

// How the guard is to be started: argv names marloft-shell's operands, the
// executable is work_dir::shell_fd. owner_fd goes on 3, out_fd on 1 and 2.
struct guard_launch {
    const char *const *argv;
    int owner_fd;
    int out_fd;
};

struct guard_process {
    pid_t pid;   // -1 when none runs
    int watch;   // turns readable once the guard ends, or -1
};

// What the job left in WORK/job, read without following links, regular
// files only, bounded. Both captures share output: stdout first.
struct job_files {
    std::array<char, record_budget + 1> record;
    size_t record_size;
    int has_record;
    size_t out_size;
    size_t err_size;
    std::array<char, output_budget> output;
};

// ---- Portable helpers the platforms use (session.cpp).

// The monotonic clock in milliseconds, and what is left until a time on it,
// as a poll time-out.
int64_t now_ms();
int remaining_ms(int64_t until);

// Polls fd for events until the monotonic time until: whether they came.
bool poll_until(int fd, short events, int64_t until);

// waitpid, retried when a signal interrupts it.
pid_t reap(pid_t pid, int &status, int options);

// Closes fd if it is open, and marks it closed.
void close_fd(int &fd);

// Reads result, stdout and stderr from the directory job_fd into out. Only
// async-signal-safe calls: a forked child may run it.
void read_files_at(int job_fd, job_files &out);

// ---- The platform (session_linux.cpp, session_macos.cpp).

// pipe() with both ends closed on exec, atomically where the platform can.
bool make_pipe(int fds[2]);

// Whether a session can run here at all: MARLOFT_OK or why not.
marloft_status check_platform();

// Looks up the job's user; NULL picks the platform's default.
marloft_status find_user(const char *name, job_user &out);

// Gives the job its own group or service named by unique and starts the
// runner in it as user, with WORK/job as its working directory and argv
// (marloft-shell's operands) run from work.shell_fd. Returns once the runner
// runs marloft-shell as user. On failure nothing is left.
marloft_status start_job(const work_dir &work, const job_user &user, const char *unique,
                         const char *const *argv, job_handle &out);

// Starts the guard as user in a session of its own, its working directory
// WORK/guard/log.
marloft_status start_guard(const work_dir &work, const job_user &user, const guard_launch &launch,
                           guard_process &out);

// Waits at most timeout_ms for the guard to end and reaps it: 1 with its
// raw wait status, 0 when it still runs.
int await_guard(guard_process &guard, int timeout_ms, int &status);

// Kills the guard and reaps it; status gets its raw wait status.
void kill_guard(guard_process &guard, int &status);

// Kills whatever of the job lives and waits, bounded, until nothing does:
// 1 once shown empty, 0 when that could not be shown.
int empty_job(job_handle &job);

// Reads what the job wrote, as the job's user where the caller is another.
void read_job_files(const work_dir &work, const job_user &user, job_files &out);

// Consumes what made result_watch readable.
void drain_result_watch(job_handle &job);

// Reaps the runner, removes the group or service, and unless keep empties
// WORK/job (as the job's user where the caller is another). Closes the
// handle's descriptors. False when something of it could not be removed.
bool end_job(job_handle &job, const work_dir &work, const job_user &user, bool keep);

} // namespace session
