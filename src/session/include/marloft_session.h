/*
 * marloft_session.h: run one shell command as a job under its guard, and
 * leave nothing behind.
 *
 * A session starts `marloft-shell run` as a job (on Linux in a cgroup of its
 * own, as an unprivileged user; on macOS as a launchd job of the caller's
 * GUI domain), starts `marloft-shell guard` beside it, lets the command run,
 * waits for its record or the deadline, lets the guard go, and judges the
 * guard's report. Whatever the job does (stray processes, a stopped or
 * killed guard, planted links, forged files), the session ends with no
 * process, group, service or directory of its own left behind, and its
 * outcome says whether the job is gone and, if not, why.
 *
 *     struct marloft_options options = {0};
 *     options.command = "make test";
 *     struct marloft_outcome outcome;
 *     struct marloft_session *session = marloft_session_start(&options, &outcome);
 *     if (session != NULL) {
 *         marloft_session_wait(session);
 *         marloft_session_finish(session, &outcome);
 *         size_t size;
 *         const char *out = marloft_session_output(session, MARLOFT_STDOUT, &size);
 *         ...
 *         marloft_session_free(session);
 *     }
 *     if (outcome.status != MARLOFT_OK) puts(marloft_describe(outcome.status));
 *
 * Linux: the caller must be root (the session makes a cgroup and runs the
 * job as another user, `nobody` unless told otherwise). macOS: the caller is
 * the user whose GUI domain runs the job. Calls block; a session is used by
 * one thread at a time. The library starts processes with fork and exec (or
 * posix_spawn), makes only async-signal-safe calls in a forked child, so a
 * threaded caller is safe, and reaps only its own children. The guard's log
 * never is a file the job can reach: what the outcome reports of the guard
 * is the guard's word; its record and output are the job's.
 */
#ifndef MARLOFT_SESSION_H
#define MARLOFT_SESSION_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    MARLOFT_DEADLINE_MIN = 1,
    MARLOFT_DEADLINE_MAX = 330,
    MARLOFT_DEADLINE_DEFAULT = 300
};

/* Zero-initialised, every field but command takes its default. */
struct marloft_options {
    /* The command, handed to /bin/bash -c. Required. */
    const char *command;
    /* The guard's deadline in seconds, 1 to 330; 0 for 300. */
    int deadline_s;
    /* The job's user (Linux, privileged caller only); NULL for "nobody". */
    const char *user;
    /* NULL: the work directory is removed at the end. Otherwise a path that
       must not exist yet: the session makes its work directory there and
       leaves it (the command's record and captures, the guard's log). */
    const char *keep_dir;
    /* marloft-shell to run; NULL for the one installed with the library. */
    const char *shell;
};

enum marloft_status {
    MARLOFT_OK = 0,             /* the command ran to its end and the job is gone */
    MARLOFT_DEADLINE = 1,       /* the deadline ended the command first; the job is gone */
    MARLOFT_BAD_OPTIONS = 2,    /* no command, or a deadline out of range; nothing started */
    MARLOFT_NOT_PRIVILEGED = 3, /* Linux: the caller is not root; nothing started */
    MARLOFT_NO_CGROUP2 = 4,     /* Linux: no cgroup v2 hierarchy; nothing started */
    MARLOFT_UNKNOWN_USER = 5,   /* the job's user does not exist; nothing started */
    MARLOFT_NO_SHELL = 6,       /* marloft-shell is missing or can't be run; nothing started */
    MARLOFT_SETUP_FAILED = 7,   /* a directory, group, pipe or process could not be made */
    MARLOFT_GUARD_REFUSED = 8,  /* the guard gave no valid ready line; the command never ran */
    MARLOFT_RUNNER_FAILED = 9,  /* the runner ended without a record */
    MARLOFT_GUARD_FAILED = 10,  /* the guard overran, was stopped or killed, or left no summary */
    MARLOFT_NOT_EMPTIED = 11    /* the guard could not empty the job (its status 6 to 9) */
};

/* The guard's summary, parsed by its fixed template. */
struct marloft_summary {
    int cleaned;
    int stopped;
    int killed;
    int remaining;
    int by_deadline;    /* reason "deadline"; else "owner-pipe-closed" */
    int bootout_status; /* launchctl's raw wait status, -1 if it never ran */
};

/* The runner's record, parsed by its fixed template. It is the job's own
   word: any process of the job, or of the job's user, could have written
   it, as it could have written the captured output. */
struct marloft_record {
    int exit_code;      /* -1 when a signal ended the command */
    int signal;
    int truncated;      /* the command wrote more than the 64 KiB budget */
};

struct marloft_outcome {
    enum marloft_status status;
    /* 1 when nothing of the job lives: shown by the guard (exit 0 and a
       clean summary), or by the session's own check once it had to empty
       the job itself. 0 when that could not be shown. */
    int job_gone;
    /* The session had to kill the guard or empty the job itself. */
    int cleaned_up_itself;
    /* Something of the session's own could not be removed: its group or
       service, or its work directory (a kept one aside). Only another
       process of the job's user can bring this about. */
    int left_behind;
    /* The guard's end as a shell shows it: its exit status, 128+N when
       signal N ended it, -1 when it was not started or never ended. */
    int guard_status;
    int has_summary;
    struct marloft_summary summary;
    /* The job's own word (see marloft_record). */
    int has_record;
    struct marloft_record record;
};

enum marloft_stream { MARLOFT_STDOUT = 1, MARLOFT_STDERR = 2 };

/* Starts a session: the job waits for its start, the guard is armed, then
   the command runs. Returns the session, or NULL with outcome->status
   telling why (nothing is left behind then). */
struct marloft_session *marloft_session_start(const struct marloft_options *options,
                                              struct marloft_outcome *outcome);

/* Blocks until the command's record is in, the runner ends, or the guard's
   deadline passes. Returns 1 when the record is in, 0 otherwise. */
int marloft_session_wait(struct marloft_session *session);

/* Lets the guard go, waits for it (with a timer of its own), reads the
   guard's summary and the job's record and output, empties and removes
   whatever is left, and fills outcome. Call once. */
void marloft_session_finish(struct marloft_session *session, struct marloft_outcome *outcome);

/* The captured output of a finished session: at most 64 KiB for both
   streams together; the job's own word. Valid until marloft_session_free. */
const char *marloft_session_output(const struct marloft_session *session,
                                   enum marloft_stream stream, size_t *size);

/* Frees a session; one not yet finished is finished first. NULL is fine. */
void marloft_session_free(struct marloft_session *session);

/* One line, for a person, about a status. Never NULL. */
const char *marloft_describe(enum marloft_status status);

#ifdef __cplusplus
}
#endif

#endif
