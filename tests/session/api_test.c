/* The library's API from C, through real sessions: a plain one, a command
 * that outlives its deadline, and a job that stops its guard. After each,
 * nothing may be left: no group below the library's parent group, no work
 * directory, and no process the command started (the test adopts the job's
 * orphans, so a survivor would show as its child). Exits 77 (skipped) where
 * a session can't run: not root, or no cgroup v2. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "marloft_session.h"

static int failures;

#define CHECK(cond, ...)                                                   \
    do {                                                                   \
        if (!(cond)) {                                                     \
            fprintf(stderr, "%s:%d: %s: ", __FILE__, __LINE__, #cond);     \
            fprintf(stderr, __VA_ARGS__);                                  \
            fputc('\n', stderr);                                           \
            ++failures;                                                    \
        }                                                                  \
    } while (0)

struct expected {
    const char *name;
    const char *command;
    int deadline_s;
    enum marloft_status status;
    int cleaned_up_itself;
    int most_seconds; /* the session's own timer included */
};

/* The job's stray prints its pid as the first line of the output. */
#define STRAY "sleep 300 & echo $!; "
/* Stops the guard that watches this runner ($PPID), as any process of the
   job may: the guard runs as the job's user. */
#define STOP_GUARD "kill -STOP $(pgrep -f \"^marloft-shell guard [0-9]+ $PPID \"); "

static const struct expected cases[] = {
    {"plain", STRAY "echo out; echo err >&2; exit 3", 30, MARLOFT_OK, 0, 5},
    {"outlives its deadline", STRAY "sleep 60", 1, MARLOFT_DEADLINE, 0, 6},
    {"stops its guard", STRAY STOP_GUARD "exit 0", 3, MARLOFT_GUARD_FAILED, 1, 3 + 10 + 5},
};

/* Entries of dir whose names begin with prefix (only directories when
   dirs_only); 0 for a missing dir. */
static int count_entries(const char *dir, const char *prefix, int dirs_only)
{
    DIR *d = opendir(dir);
    int n = 0;
    if (d == NULL)
        return 0;
    for (struct dirent *e; (e = readdir(d)) != NULL;)
        if (e->d_name[0] != '.' && (!dirs_only || e->d_type == DT_DIR) && strncmp(e->d_name, prefix, strlen(prefix)) == 0)
            ++n;
    closedir(d);
    return n;
}

static int cgroup2_mount(char *out, size_t size)
{
    FILE *in = fopen("/proc/self/mountinfo", "r");
    char line[4608];
    int found = 0;
    while (in != NULL && !found && fgets(line, sizeof line, in) != NULL)
        found = strstr(line, " - cgroup2 ") != NULL &&
                sscanf(line, "%*s %*s %*s %*s %4095s", out) == 1;
    if (in != NULL)
        fclose(in);
    return found && strlen(out) < size;
}

/* The job's orphans are ours: reap them, and say whether pid still lives. */
static int survives(pid_t pid)
{
    while (waitpid(-1, NULL, WNOHANG) > 0) {
    }
    return pid > 1 && kill(pid, 0) == 0;
}

static void run_case(const struct expected *c, const char *shell, const char *groups)
{
    struct marloft_options options = {0};
    options.command = c->command;
    options.deadline_s = c->deadline_s;
    options.shell = shell;
    const int work_dirs = count_entries("/tmp", "marloft-session.", 0);
    const time_t started = time(NULL);
    struct marloft_outcome outcome;
    struct marloft_session *session = marloft_session_start(&options, &outcome);
    CHECK(session != NULL, "%s: start: %s", c->name, marloft_describe(outcome.status));
    if (session == NULL)
        return;
    marloft_session_wait(session);
    marloft_session_finish(session, &outcome);
    size_t size = 0;
    const char *out = marloft_session_output(session, MARLOFT_STDOUT, &size);
    const pid_t stray = (pid_t)atoi(out);
    CHECK(outcome.status == c->status, "%s: status %d: %s", c->name, outcome.status,
          marloft_describe(outcome.status));
    CHECK(outcome.job_gone == 1, "%s", c->name);
    CHECK(outcome.cleaned_up_itself == c->cleaned_up_itself, "%s", c->name);
    CHECK(outcome.left_behind == 0, "%s", c->name);
    CHECK(time(NULL) - started <= c->most_seconds, "%s: took %lds", c->name, (long)(time(NULL) - started));
    CHECK(!survives(stray), "%s: stray %d lives", c->name, stray);
    CHECK(count_entries(groups, "", 1) == 0, "%s: a group is left in %s", c->name, groups);
    CHECK(count_entries("/tmp", "marloft-session.", 0) <= work_dirs, "%s: a work directory is left", c->name);
    if (c->status == MARLOFT_OK) {
        CHECK(outcome.has_record && outcome.record.exit_code == 3 && !outcome.record.truncated, "%s", c->name);
        CHECK(size > 4 && memcmp(out + size - 4, "out\n", 4) == 0, "%s: stdout [%.*s]", c->name, (int)size, out);
        out = marloft_session_output(session, MARLOFT_STDERR, &size);
        CHECK(size == 4 && memcmp(out, "err\n", 4) == 0, "%s: stderr [%.*s]", c->name, (int)size, out);
    }
    marloft_session_free(session);
}

int main(int argc, char **argv)
{
    char mount[4096];
    char groups[4200];
    if (argc != 2)
        return 2;
    if (geteuid() != 0 || !cgroup2_mount(mount, sizeof mount)) {
        puts("skipped: a session needs root and a cgroup v2 hierarchy");
        return 77;
    }
    snprintf(groups, sizeof groups, "%s/marloft-session", mount);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        run_case(&cases[i], argv[1], groups);

    /* Refused before anything starts. */
    struct marloft_options bad = {0};
    struct marloft_outcome outcome;
    CHECK(marloft_session_start(&bad, &outcome) == NULL && outcome.status == MARLOFT_BAD_OPTIONS, "no command");
    bad.command = "true";
    bad.deadline_s = 331;
    CHECK(marloft_session_start(&bad, &outcome) == NULL && outcome.status == MARLOFT_BAD_OPTIONS, "deadline");
    bad.deadline_s = 1;
    bad.user = "no-such-user-here";
    CHECK(marloft_session_start(&bad, &outcome) == NULL && outcome.status == MARLOFT_UNKNOWN_USER, "user");
    CHECK(outcome.job_gone == 0 && outcome.guard_status == -1, "nothing started");
    return failures == 0 ? 0 : 1;
}
