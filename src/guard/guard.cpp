#include "guard/guard.h"

// The guard outlives a job's owner so that nothing the job started survives
// it. It trusts a process only through the coalition queries, and it decides
// which coalition to watch before it may signal anything: a pair that is its
// own or the owner's would make it kill itself or the caller, so such a pair
// is refused outright.
//
// A member is any process in the job; only the user's are ever signalled,
// but another user's keeps the job from being called cleaned: the guard's
// success must mean that nothing of the job lives.
//
// Teardown stops every member for a fixed number of rounds before killing any
// of them. A job that forks while being killed could otherwise outrun one
// scan after another; once every member is frozen, nothing new appears and
// the kill rounds only have to mop up. The rounds are fixed, so the guard's
// time after the owner lets go is bounded whatever the job does.

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "coalition/coalition.h"
#include "main/exit_status.h"
#include "main/inherited.h"

namespace {

constexpr int owner_fd = 3;
constexpr int min_deadline_s = 1;
constexpr int max_deadline_s = 330;
constexpr int stop_rounds = 12;
constexpr int kill_rounds = 30;
constexpr useconds_t round_interval_us = 10'000;
constexpr int log_mode = 0600;
constexpr size_t prefix_size = 100;
constexpr size_t line_size = 512;

constexpr const char *prefix_template = "gui/%d/com.marloft.shell.";
constexpr const char *refusal_message = "refusing ambiguous coalition\n";
constexpr const char *ready_template =
    "{\"ready\":true,\"guardianPid\":%d,\"resource\":\"%llu\",\"jetsam\":\"%llu\",\"boot\":\"%s\"}\n";
constexpr const char *summary_template =
    "%s{\"cleaned\":%s,\"stopped\":%d,\"killed\":%d,\"remaining\":%d,\"reason\":\"%s\","
    "\"bootoutStatus\":%d}\n";

// What admission hands to the teardown.
struct admitted {
    coalition_ids target;
    const char *service;
    int deadline_s;
    int log_fd;
};

struct teardown_counts {
    int stopped;
    int killed;
    int remaining;
    bool cleaned;
};

// As lenient as atoi (leading space, a sign, digits, anything after them
// ignored, no digits reads 0), but a value past the int range clamps to it:
// wrapping would turn "4294967298" into pid 2.
int parse_int(const char *text)
{
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    constexpr int64_t limit = static_cast<int64_t>(INT_MAX) + 1;
    int64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > limit)
            magnitude = limit;
    }
    if (negative)
        return static_cast<int>(-magnitude);
    return static_cast<int>(magnitude > INT_MAX ? INT_MAX : magnitude);
}

uint64_t parse_id(const char *text)
{
    return strtoull(text, nullptr, 10);
}

// Writes all of a line; a short one goes out in a single write, so a reader
// sees it whole. False when part of it could not be written.
bool write_line(int fd, const char *line, size_t length)
{
    while (length > 0) {
        const ssize_t put = write(fd, line, length);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        line += put;
        length -= static_cast<size_t>(put);
    }
    return true;
}

int check_arguments(int argc, char **argv)
{
    char prefix[prefix_size];
    const int prefix_length = snprintf(prefix, sizeof prefix, prefix_template, static_cast<int>(getuid()));
    if (prefix_length < 0 || static_cast<size_t>(prefix_length) >= sizeof prefix)
        return exit_guard_arguments;
    if (argc != 7 && argc != 10)
        return exit_guard_arguments;
    if (parse_int(argv[2]) < 2)
        return exit_guard_arguments;
    if (strncmp(argv[4], prefix, static_cast<size_t>(prefix_length)) != 0)
        return exit_guard_arguments;
    const int deadline = parse_int(argv[6]);
    if (deadline < min_deadline_s || deadline > max_deadline_s)
        return exit_guard_arguments;
    return 0;
}

// The 10-argument form names the pair itself; a member that is still alive
// must carry it and be the guard's user's, one that has gone leaves the pair
// unchecked.
int resolve_given_target(char **argv, const boot_session_id &boot, coalition_ids &target)
{
    if (strcmp(boot.data(), argv[9]) != 0)
        return exit_guard_boot_session;
    target = coalition_ids{parse_id(argv[7]), parse_id(argv[8])};
    const pid_t member = parse_int(argv[3]);
    coalition_ids seen{};
    if (member >= 2 && identity(member, &seen) != 0 &&
        (!(seen == target) || is_users_process(member) == 0))
        return exit_guard_target;
    return 0;
}

// The guard can only ever take down its own user's processes: for another
// user's job it would find no member, call the job cleaned and leave it
// running.
int resolve_target(int argc, char **argv, const boot_session_id &boot, coalition_ids &target)
{
    if (argc == 10)
        return resolve_given_target(argv, boot, target);
    const pid_t member = parse_int(argv[3]);
    if (member < 2 || identity(member, &target) == 0 || is_users_process(member) == 0)
        return exit_guard_target;
    return 0;
}

// A target that is the guard's own or the owner's would have the guard kill
// itself or its caller; one with a zero ID is no coalition at all, and one
// the platform can't give a job would match nothing or far too much.
bool is_ambiguous(const coalition_ids &target, pid_t owner)
{
    coalition_ids owner_ids{};
    coalition_ids own_ids{};
    if (!is_valid(target) || is_job_pair(target) == 0)
        return true;
    if (identity(owner, &owner_ids) == 0 || identity(getpid(), &own_ids) == 0)
        return true;
    return target == owner_ids || target == own_ids;
}

// A value that fills the buffer to its last byte has no terminator and can't
// be trusted as a string.
bool read_boot(boot_session_id &boot)
{
    boot.fill('\0');
    if (read_boot_session(boot) == 0)
        return false;
    return boot[0] != '\0' && memchr(boot.data(), '\0', boot.size()) != nullptr;
}

void report_ready(const coalition_ids &target, const boot_session_id &boot)
{
    std::array<char, line_size> line;
    const int length = snprintf(line.data(), line.size(), ready_template, static_cast<int>(getpid()),
                                static_cast<unsigned long long>(target.resource),
                                static_cast<unsigned long long>(target.jetsam), boot.data());
    if (length > 0 && static_cast<size_t>(length) < line.size())
        write_line(STDOUT_FILENO, line.data(), static_cast<size_t>(length));
}

// Never at 0 to 3: a log that took the place of a closed standard
// descriptor would catch the ready line and be closed by the redirection.
// Appending: a job that can reach the log may write into it while the guard
// waits, but the summary still lands after whatever it wrote.
int open_log(const char *path)
{
    const int fd = open(path,
                        O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                        log_mode);
    return keep_above(fd, owner_fd + 1);
}

int admit_guard(int argc, char **argv, admitted &out)
{
    if (const int status = check_arguments(argc, argv); status != 0)
        return status;
    boot_session_id boot;
    if (!read_boot(boot))
        return exit_guard_target;
    coalition_ids target{};
    if (const int status = resolve_target(argc, argv, boot, target); status != 0)
        return status;
    if (is_ambiguous(target, parse_int(argv[2]))) {
        write_line(STDERR_FILENO, refusal_message, strlen(refusal_message));
        return exit_guard_target;
    }
    if (fcntl(owner_fd, F_GETFD) < 0)
        return exit_guard_descriptor;
    // The log often lies where the job can write too: a link planted there
    // must not have the guard truncate whatever it points at, and a FIFO
    // must never hold the guard, neither before it is armed (nobody reads)
    // nor after the teardown (its reader stopped reading): the descriptor
    // stays non-blocking, and what a full FIFO can't take is lost.
    const int log_fd = open_log(argv[5]);
    if (log_fd < 0)
        return exit_guard_descriptor;
    fcntl(owner_fd, F_SETFD, FD_CLOEXEC);
    report_ready(target, boot);
    out = admitted{target, argv[4], parse_int(argv[6]), log_fd};
    return 0;
}

// Any readiness on the owner's pipe (data, hang-up, error) lets the job go.
const char *await_owner(int deadline_s)
{
    pollfd owner{owner_fd, POLLIN | POLLERR | POLLHUP, 0};
    for (;;) {
        const int ready = poll(&owner, 1, deadline_s * 1000);
        if (ready == 0)
            return "deadline";
        if (ready > 0 || errno != EINTR)
            return "owner-pipe-closed";
    }
}

void redirect_output(int log_fd)
{
    dup2(log_fd, STDOUT_FILENO);
    dup2(log_fd, STDERR_FILENO);
    close(log_fd);
}

// Freezes every member, round after round, so that the kill rounds face a
// coalition that no longer grows.
bool stop_coalition(const coalition_ids &target, member_list &list, teardown_counts &counts)
{
    for (int round = 0; round < stop_rounds; ++round) {
        const int listed = members(target, list);
        if (listed < 0)
            return false;
        for (int i = 0; i < listed; ++i)
            counts.stopped += checked_signal(list[static_cast<size_t>(i)], target, SIGSTOP);
        usleep(round_interval_us);
    }
    return true;
}

bool kill_coalition(const coalition_ids &target, member_list &list, teardown_counts &counts)
{
    // Only this pass's empty scan may call the coalition cleaned.
    counts.cleaned = false;
    for (int round = 0; round < kill_rounds; ++round) {
        const int listed = members(target, list);
        if (listed < 0)
            return false;
        counts.remaining = listed;
        if (listed == 0) {
            counts.cleaned = true;
            return true;
        }
        for (int i = 0; i < listed; ++i)
            counts.killed += checked_signal(list[static_cast<size_t>(i)], target, SIGKILL);
        usleep(round_interval_us);
    }
    return true;
}

// Stops, then kills the coalition: 0, or the status of the scan that failed.
int empty_coalition(const coalition_ids &target, member_list &list, teardown_counts &counts)
{
    if (!stop_coalition(target, list, counts))
        return exit_guard_stop_scan;
    if (!kill_coalition(target, list, counts))
        return exit_guard_kill_scan;
    return 0;
}

// launchd may start the job again while it boots it out, and the bootout
// waits for the service, not for the coalition: only a scan after it can say
// that nothing of the job lives, and what it says stands, whatever the kill
// rounds found before. What it finds goes through the same rounds.
int empty_after_bootout(const coalition_ids &target, member_list &list, teardown_counts &counts)
{
    const int listed = members(target, list);
    if (listed < 0)
        return exit_guard_kill_scan;
    counts.remaining = listed;
    counts.cleaned = listed == 0;
    return listed == 0 ? 0 : empty_coalition(target, list, counts);
}

// The raw wait status of launchctl, or -1 when it never ran or its end could
// not be observed: no real wait status is -1, so it can't pass for success.
int bootout_service(const char *service)
{
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        // launchctl reads nothing: never hand it the caller's terminal.
        const int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd != STDIN_FILENO) {
            if (null_fd < 0 || dup2(null_fd, STDIN_FILENO) < 0)
                close(STDIN_FILENO);
            if (null_fd >= 0)
                close(null_fd);
        }
        execl("/bin/launchctl", "launchctl", "bootout", service, static_cast<char *>(nullptr));
        _exit(exit_exec_failed);
    }
    int status = 0;
    pid_t got;
    do
        got = waitpid(child, &status, 0);
    while (got < 0 && errno == EINTR);
    return got == child ? status : -1;
}

// The summary starts a line of its own: the log may end in text without a
// newline (launchctl's, or the job's where it can write the log), onto which
// the summary would otherwise be glued. The log is opened for writing only,
// so its last byte can't be read: a log that holds anything gets a newline
// first, and a blank line before the summary is the worst that costs. True
// only when the whole line was written.
bool write_summary(const teardown_counts &counts, const char *reason, int bootout_status)
{
    std::array<char, line_size> line;
    struct stat st;
    const bool fresh_line = fstat(STDOUT_FILENO, &st) == 0 && st.st_size == 0;
    const int length = snprintf(line.data(), line.size(), summary_template, fresh_line ? "" : "\n",
                                counts.cleaned ? "true" : "false", counts.stopped, counts.killed,
                                counts.remaining, reason, bootout_status);
    return length > 0 && static_cast<size_t>(length) < line.size() &&
           write_line(STDOUT_FILENO, line.data(), static_cast<size_t>(length));
}

// What a careless caller's surroundings send must neither end nor freeze the
// guard at the moment it exists for: a shell that loses its terminal hangs up
// its background jobs, a terminal set to stop background writers would stop
// the guard at its ready line, before it is armed, and a write to a reader
// that has gone must fail, not end the guard. Nor may a write past a
// file-size limit the caller set: a job that can write the log can fill it
// up to that limit, and the guard's summary (or launchctl's output) must
// then come out short, which the status tells, not end the process that
// writes it. SIGINT, SIGQUIT, SIGTERM and SIGTSTP stay as the caller left
// them: sending one is a deliberate act, and its effect shows as a status
// other than 0, never as a success.
void ignore_careless_signals()
{
    (void)signal(SIGHUP, SIG_IGN);
    (void)signal(SIGTTOU, SIG_IGN);
    (void)signal(SIGPIPE, SIG_IGN);
    (void)signal(SIGXFSZ, SIG_IGN);
}

} // namespace

int cmd_guard(int argc, char **argv)
{
    // The job runs as the guard's own user: from the first moment on, it must
    // not be able to debug the guard into a forged success.
    refuse_debuggers();
    ignore_careless_signals();
    // Nothing but 0 to 3 is needed; a copy of the owner's write end among the
    // rest would hold the wait open until the deadline.
    close_descriptors_from(owner_fd + 1);
    reset_inherited_state();
    admitted job{};
    if (const int status = admit_guard(argc, argv, job); status != 0)
        return status;

    const char *reason = await_owner(job.deadline_s);
    redirect_output(job.log_fd);
    member_list list;
    teardown_counts counts{0, 0, 0, false};
    if (const int status = empty_coalition(job.target, list, counts); status != 0)
        return status;
    const int bootout_status = bootout_service(job.service);
    if (const int status = empty_after_bootout(job.target, list, counts); status != 0)
        return status;
    const bool summarised = write_summary(counts, reason, bootout_status);
    if (!counts.cleaned)
        return exit_guard_remaining;
    return summarised ? exit_ok : exit_guard_summary;
}
