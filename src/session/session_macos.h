#pragma once

// The macOS backend's steps that need neither launchd nor kqueue: the job's
// property list, finding its runner through the kernel, and emptying a job
// whose guard could not. They live apart from session_macos.cpp so that the
// tests run them on Linux against the model of the process table.

#include <array>
#include <cstddef>

#include <sys/types.h>

#include "coalition/coalition.h"

// A namespace of its own, not session's: the platform's <sys/proc.h>, which
// the kernel's record headers pull in, declares a global struct session.
namespace macos_job {

// What launchd runs as the job, and what tells its runner apart from any
// other process of the user: the start file is the session's own.
struct job_spec {
    const char *label;   // com.marloft.shell.session-<unique>
    const char *shell;   // marloft-shell, as launchd execs it
    const char *start;   // WORK/start
    const char *result;  // WORK/job/result
    const char *out;     // WORK/job/stdout
    const char *err;     // WORK/job/stderr
    const char *job_dir; // WORK/job
    const char *command;
};

// The runner's argument vector: shell, run, start, result, out, err, command.
constexpr int runner_argc = 7;
using runner_arguments = std::array<const char *, runner_argc>;
runner_arguments arguments_of(const job_spec &job);

// True when text can stand in an XML 1.0 document and read back the same:
// well-formed UTF-8 of characters XML allows (no control character but tab,
// newline and carriage return, no surrogate, no U+FFFE or U+FFFF).
bool is_xml_text(const char *text);

enum class plist_status { written, unfit_text, failed };

// Writes the job's property list to path, a new file of mode 0644 whatever
// the umask (launchd refuses one that others may write). unfit_text when a
// string can't be carried in XML; nothing is left at path unless written.
plist_status write_plist(const job_spec &job, const char *path);

// True when data, a KERN_PROCARGS2 record of length bytes (argc, the exec
// path, its padding, then the arguments), holds exactly expected's count of
// arguments and each from the second on equals expected's. Any layout the
// record can't be read by (it is the process's own memory, which it may
// have rewritten) is no match.
bool has_arguments(const char *data, size_t length, const runner_arguments &expected);

enum class search { found, none, failed };

// Among the caller's user's processes, the one whose executable is
// executable (a resolved path, as the kernel names it) and whose arguments
// are the job's. failed when more than one qualifies or the user's
// processes can't be listed.
search find_runner(const job_spec &job, const char *executable, pid_t &runner);

// find_runner until the runner shows or a few seconds have passed: launchd
// starts a job's program at its own pace.
search await_runner(const job_spec &job, const char *executable, pid_t &runner);

// Stops, then kills, every member of pair, round after round, until a scan
// finds none. True only then.
bool empty_coalition(const coalition_ids &pair);

} // namespace macos_job
