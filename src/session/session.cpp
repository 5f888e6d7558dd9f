#include "marloft_session.h"

// A session's portable steps. The three processes of marloft-shell speak in
// fixed one-line templates, and the session reads each of them strictly by
// its template: a line that differs in a single byte is no line at all, so
// nothing the job can write (it writes the record and the captures itself)
// passes for more than it is. The outcome is judged once, in one place, from
// the guard's exit status and its log's last line, and from whether the
// session had to empty the job itself.
//
// The guard's log: the guard runs as the job's user and opens its log by
// path, so a log file would be a file the job's user could write, and a job
// could leave a forged summary last. The log is a FIFO instead, of which the
// session holds the only read end; once the guard's ready line shows that
// the guard has opened it, the session unlinks it, before the start file
// lets the command run: from then on no path leads to it. Until then the
// job is its runner alone, which waits for its start file; and on Linux the
// FIFO lies below a directory the job's user can't search at all, so no
// other process of that user can reach it either.
//
// The guard's timer: the guard promises to end once its owner lets go or its
// deadline passes, but its job runs as the guard's own user and may stop or
// kill it. The session gives it the deadline plus a margin from its ready
// line, then kills it and empties the job itself.

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h> // getentropy on both platforms
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "session/session_parse.h"
#include "session/session_platform.h"

#ifndef MARLOFT_DEFAULT_SHELL
#define MARLOFT_DEFAULT_SHELL "/usr/local/bin/marloft-shell"
#endif

struct marloft_session {
    session::work_dir work;
    session::job_user user;
    session::job_handle job;
    session::guard_process guard;
    int owner_fd;          // the owner's end of the guard's pipe, -1 once let go
    int log_fd;            // the read end of the guard's log, a FIFO
    int guard_out;         // the guard's standard output, -1 once it hung up
    int64_t guard_timer;   // monotonic ms by which the guard must have ended
    bool keep;
    bool finished;
    bool record_in;
    std::array<char, 24> unique;
    std::array<char, 16> owner_text;
    std::array<char, 16> member_text;
    std::array<char, 16> deadline_text;
    marloft_outcome outcome;
    session::job_files files;
    size_t log_size;
    std::array<char, session::log_budget> log; // what the guard logged, its tail if longer
};

namespace {

using namespace session;

// How long the guard may take for its ready line; the runner waits 10 s for
// the start file that follows it.
constexpr int ready_timeout_ms = 5000;
// What the guard gets beyond its deadline before the session steps in.
constexpr int guard_margin_ms = 10000;
constexpr size_t line_budget = 512;
constexpr mode_t work_mode = 0711;
constexpr mode_t private_dir_mode = 0700;
constexpr mode_t shell_mode = 0711;
constexpr mode_t start_mode = 0644;
constexpr mode_t log_mode = 0600;
constexpr const char *log_name = "guard.log";
constexpr int dir_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr const char *temporary_template = "/tmp/marloft-session.XXXXXX";

// ------------------------------------------------------ strict line parsing

bool take(std::string_view &s, std::string_view literal)
{
    if (s.substr(0, literal.size()) != literal)
        return false;
    s.remove_prefix(literal.size());
    return true;
}

// Digits as printf's %llu writes them: no sign, no leading zero.
bool take_u64(std::string_view &s, uint64_t &out)
{
    size_t n = 0;
    uint64_t value = 0;
    for (; n < s.size() && s[n] >= '0' && s[n] <= '9'; ++n) {
        const auto digit = static_cast<uint64_t>(s[n] - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    if (n == 0 || (n > 1 && s[0] == '0'))
        return false;
    out = value;
    s.remove_prefix(n);
    return true;
}

// As printf's %d writes an int: an optional minus, no "-0".
bool take_int(std::string_view &s, int &out)
{
    const bool negative = take(s, "-");
    uint64_t magnitude = 0;
    if (!take_u64(s, magnitude) || (negative && magnitude == 0))
        return false;
    if (magnitude > static_cast<uint64_t>(INT_MAX) + (negative ? 1 : 0))
        return false;
    out = negative ? static_cast<int>(-static_cast<int64_t>(magnitude)) : static_cast<int>(magnitude);
    return true;
}

bool take_bool(std::string_view &s, int &out)
{
    out = take(s, "true") ? 1 : 0;
    return out == 1 || take(s, "false");
}

// A boot session identifier: letters, digits and dashes, then the quote.
bool take_boot(std::string_view &s, boot_session_id &out)
{
    size_t n = 0;
    while (n < s.size() && n + 1 < out.size() &&
           ((s[n] >= '0' && s[n] <= '9') || (s[n] >= 'a' && s[n] <= 'z') ||
            (s[n] >= 'A' && s[n] <= 'Z') || s[n] == '-'))
        ++n;
    if (n == 0 || n >= s.size() || s[n] != '"')
        return false;
    out.fill('\0');
    memcpy(out.data(), s.data(), n);
    s.remove_prefix(n);
    return true;
}

} // namespace

namespace session {

int64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

int remaining_ms(int64_t until)
{
    const int64_t left = until - now_ms();
    return left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

bool poll_until(int fd, short events, int64_t until)
{
    pollfd p{fd, events, 0};
    int ready;
    do
        ready = poll(&p, 1, remaining_ms(until));
    while (ready < 0 && errno == EINTR);
    return ready > 0;
}

pid_t reap(pid_t pid, int &status, int options)
{
    pid_t got;
    do
        got = waitpid(pid, &status, options);
    while (got < 0 && errno == EINTR);
    return got;
}

void close_fd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

bool parse_ready(std::string_view s, pid_t &guardian, coalition_ids &pair, boot_session_id &boot)
{
    return take(s, "{\"ready\":true,\"guardianPid\":") && take_int(s, guardian) &&
           take(s, ",\"resource\":\"") && take_u64(s, pair.resource) &&
           take(s, "\",\"jetsam\":\"") && take_u64(s, pair.jetsam) && take(s, "\",\"boot\":\"") &&
           take_boot(s, boot) && take(s, "\"}\n") && s.empty();
}

bool parse_summary(std::string_view s, marloft_summary &out)
{
    if (!(take(s, "{\"cleaned\":") && take_bool(s, out.cleaned) && take(s, ",\"stopped\":") &&
          take_int(s, out.stopped) && take(s, ",\"killed\":") && take_int(s, out.killed) &&
          take(s, ",\"remaining\":") && take_int(s, out.remaining) && take(s, ",\"reason\":\"")))
        return false;
    out.by_deadline = take(s, "deadline") ? 1 : 0;
    if (out.by_deadline == 0 && !take(s, "owner-pipe-closed"))
        return false;
    return take(s, "\",\"bootoutStatus\":") && take_int(s, out.bootout_status) &&
           take(s, "}\n") && s.empty() && out.stopped >= 0 && out.killed >= 0 &&
           out.remaining >= 0;
}

// A command ends either with a status (0 to 255, no signal) or by a signal.
bool parse_record(std::string_view s, marloft_record &out)
{
    if (!(take(s, "{\"exit_code\":") && take_int(s, out.exit_code) && take(s, ",\"signal\":") &&
          take_int(s, out.signal) && take(s, ",\"truncated\":") && take_bool(s, out.truncated) &&
          take(s, "}\n") && s.empty()))
        return false;
    if (out.exit_code == -1)
        return out.signal > 0 && out.signal < 127;
    return out.exit_code >= 0 && out.exit_code <= 255 && out.signal == 0;
}

// Async-signal-safe: open, fstat, read, close only.
void read_files_at(int job_fd, job_files &out)
{
    constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    struct entry {
        const char *name;
        char *into;
        size_t room;
        size_t *size;
    };
    out.record_size = out.out_size = out.err_size = 0;
    out.has_record = 0;
    const entry entries[] = {
        {"result", out.record.data(), record_budget, &out.record_size},
        {"stdout", out.output.data(), output_budget, &out.out_size},
        {"stderr", nullptr, 0, &out.err_size},
    };
    for (const entry &e : entries) {
        char *into = e.into != nullptr ? e.into : out.output.data() + out.out_size;
        const size_t room = e.into != nullptr ? e.room : output_budget - out.out_size;
        const int fd = openat(job_fd, e.name, flags);
        struct stat st;
        if (fd < 0)
            continue;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            size_t got = 0;
            ssize_t n = 1;
            while (got < room && n > 0) {
                n = read(fd, into + got, room - got);
                if (n > 0)
                    got += static_cast<size_t>(n);
            }
            *e.size = got;
            if (e.into == out.record.data())
                out.has_record = 1;
        }
        close(fd);
    }
}

} // namespace session

namespace {

// ------------------------------------------------------------ work directory

bool make_private_dir(int parent, const char *name, const job_user *owner, int &fd)
{
    if (mkdirat(parent, name, private_dir_mode) != 0)
        return false;
    fd = openat(parent, name, dir_flags);
    if (fd < 0)
        return false;
    return owner == nullptr || fchown(fd, owner->uid, owner->gid) == 0;
}

// An execute-only copy of the caller's marloft-shell that the job's user
// can reach wherever the original lies, and can't read or trace.
bool copy_shell(int source, int work_fd, int &shell_fd)
{
    const int target = openat(work_fd, "marloft-shell",
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
    if (target < 0)
        return false;
    std::array<char, 16384> chunk;
    ssize_t n;
    bool ok = true;
    while (ok && (n = read(source, chunk.data(), chunk.size())) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0 && write(target, chunk.data(), static_cast<size_t>(n)) == n;
    }
    ok = ok && fchmod(target, shell_mode) == 0;
    ok = close(target) == 0 && ok;
    shell_fd = ok ? openat(work_fd, "marloft-shell", O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1;
    return shell_fd >= 0;
}

bool make_work_path(const char *keep_dir, std::array<char, path_size> &path)
{
    if (keep_dir != nullptr) {
        const int n = snprintf(path.data(), path.size(), "%s", keep_dir);
        return n > 0 && static_cast<size_t>(n) < path.size() && mkdir(path.data(), work_mode) == 0;
    }
    (void)snprintf(path.data(), path.size(), "%s", temporary_template);
    return mkdtemp(path.data()) != nullptr;
}

// The guard's log, a FIFO of the job's user's that only the session reads:
// its read end is open before the guard opens the write end, which would
// fail without a reader.
bool make_log(marloft_session &s)
{
    const int dir = s.work.log_dir_fd;
    if (mkfifoat(dir, log_name, log_mode) != 0 ||
        fchownat(dir, log_name, s.user.uid, s.user.gid, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    s.log_fd = openat(dir, log_name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    return s.log_fd >= 0;
}

marloft_status make_work_dir(marloft_session &s, const char *keep_dir, int shell_source)
{
    work_dir &w = s.work;
    if (!make_work_path(keep_dir, w.path))
        return MARLOFT_SETUP_FAILED;
    w.fd = open(w.path.data(), dir_flags);
    // A directory to keep may lie where others write, and another directory
    // may take its name between its making and its opening: only one of the
    // caller's own is used.
    struct stat st;
    int guard_fd = -1;
    const bool ok = w.fd >= 0 && fstat(w.fd, &st) == 0 && st.st_uid == geteuid() &&
                    fchmod(w.fd, work_mode) == 0 &&
                    make_private_dir(w.fd, "job", &s.user, w.job_fd) &&
                    make_private_dir(w.fd, "guard", nullptr, guard_fd) &&
                    make_private_dir(guard_fd, "log", &s.user, w.log_dir_fd) && make_log(s) &&
                    copy_shell(shell_source, w.fd, w.shell_fd);
    close_fd(guard_fd);
    return ok ? MARLOFT_OK : MARLOFT_SETUP_FAILED;
}

// A kept work directory keeps the guard's log as a file of the caller's.
void keep_log(const marloft_session &s)
{
    const int fd = openat(s.work.fd, log_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          log_mode);
    if (fd < 0)
        return;
    (void)!write(fd, s.log.data(), s.log_size);
    close(fd);
}

// What end_job leaves: the guard's corner, the start file, the copy of
// marloft-shell and WORK itself. A kept directory keeps all but the copy.
// False when WORK is still there and not to be kept.
bool remove_work_dir(marloft_session &s)
{
    work_dir &w = s.work;
    bool gone = s.keep || w.fd < 0;
    if (w.fd >= 0) {
        unlinkat(w.fd, "marloft-shell", 0);
        if (w.log_dir_fd >= 0)
            unlinkat(w.log_dir_fd, log_name, 0);
        if (s.keep) {
            keep_log(s);
        } else {
            const int guard_fd = openat(w.fd, "guard", dir_flags);
            if (guard_fd >= 0) {
                unlinkat(guard_fd, "log", AT_REMOVEDIR);
                close(guard_fd);
            }
            unlinkat(w.fd, "guard", AT_REMOVEDIR);
            unlinkat(w.fd, "start", 0);
            unlinkat(w.fd, "job", AT_REMOVEDIR);
            gone = rmdir(w.path.data()) == 0;
        }
    }
    close_fd(w.fd);
    close_fd(w.job_fd);
    close_fd(w.log_dir_fd);
    close_fd(w.shell_fd);
    close_fd(s.log_fd);
    return gone;
}

// ------------------------------------------------------------------ starting

marloft_status check_options(const marloft_options &o)
{
    if (o.command == nullptr)
        return MARLOFT_BAD_OPTIONS;
    if (o.deadline_s != 0 && (o.deadline_s < MARLOFT_DEADLINE_MIN || o.deadline_s > MARLOFT_DEADLINE_MAX))
        return MARLOFT_BAD_OPTIONS;
    return MARLOFT_OK;
}

// An open descriptor of the marloft-shell to copy, or -1.
int open_shell(const char *path)
{
    if (path == nullptr)
        path = MARLOFT_DEFAULT_SHELL;
    if (access(path, X_OK) != 0)
        return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)))
        close_fd(fd);
    return fd;
}

bool make_unique(std::array<char, 24> &out)
{
    uint64_t bits = 0;
    if (getentropy(&bits, sizeof bits) != 0)
        return false;
    (void)snprintf(out.data(), out.size(), "%016llx", static_cast<unsigned long long>(bits));
    return true;
}

// Reads the guard's one ready line, and nothing after it, within the time.
bool read_ready_line(int fd, std::array<char, line_budget> &line, size_t &length)
{
    const int64_t until = now_ms() + ready_timeout_ms;
    length = 0;
    while (memchr(line.data(), '\n', length) == nullptr) {
        pollfd p{fd, POLLIN, 0};
        if (length == line.size() || poll(&p, 1, remaining_ms(until)) <= 0)
            return false;
        const ssize_t n = read(fd, line.data() + length, line.size() - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        length += static_cast<size_t>(n);
    }
    return memchr(line.data(), '\n', length) == line.data() + length - 1;
}

bool guard_is_ready(marloft_session &s)
{
    std::array<char, line_budget> line;
    size_t length = 0;
    if (!read_ready_line(s.guard_out, line, length))
        return false;
    pid_t guardian = 0;
    coalition_ids pair{};
    boot_session_id boot{};
    if (!parse_ready(std::string_view(line.data(), length), guardian, pair, boot))
        return false;
    return guardian == s.guard.pid && pair == s.job.pair && strcmp(boot.data(), s.job.boot.data()) == 0;
}

marloft_status start_guard_process(marloft_session &s, int deadline_s)
{
    int owner[2];
    int out[2];
    if (!make_pipe(owner))
        return MARLOFT_SETUP_FAILED;
    if (!make_pipe(out)) {
        close(owner[0]);
        close(owner[1]);
        return MARLOFT_SETUP_FAILED;
    }
    (void)snprintf(s.owner_text.data(), s.owner_text.size(), "%d", static_cast<int>(getpid()));
    (void)snprintf(s.member_text.data(), s.member_text.size(), "%d", static_cast<int>(s.job.runner));
    (void)snprintf(s.deadline_text.data(), s.deadline_text.size(), "%d", deadline_s);
    const char *argv[] = {"marloft-shell", "guard", s.owner_text.data(), s.member_text.data(),
                          s.job.target.data(), log_name, s.deadline_text.data(), nullptr};
    const marloft_status status = start_guard(s.work, s.user, guard_launch{argv, owner[0], out[1]}, s.guard);
    close(owner[0]);
    close(out[1]);
    s.owner_fd = owner[1];
    s.guard_out = out[0];
    if (status != MARLOFT_OK)
        return status;
    s.guard_timer = now_ms() + static_cast<int64_t>(deadline_s) * 1000 + guard_margin_ms;
    return guard_is_ready(s) ? MARLOFT_OK : MARLOFT_GUARD_REFUSED;
}

bool write_start_file(const work_dir &w)
{
    const int fd = openat(w.fd, "start", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, start_mode);
    if (fd < 0)
        return false;
    return close(fd) == 0;
}

marloft_status run_steps(marloft_session &s, const marloft_options &o, int shell_source)
{
    if (!make_unique(s.unique))
        return MARLOFT_SETUP_FAILED;
    if (const marloft_status st = make_work_dir(s, o.keep_dir, shell_source); st != MARLOFT_OK)
        return st;
    const char *argv[] = {"marloft-shell", "run", "../start", "result", "stdout", "stderr", o.command, nullptr};
    if (const marloft_status st = start_job(s.work, s.user, s.unique.data(), argv, s.job); st != MARLOFT_OK)
        return st;
    const int deadline_s = o.deadline_s == 0 ? MARLOFT_DEADLINE_DEFAULT : o.deadline_s;
    if (const marloft_status st = start_guard_process(s, deadline_s); st != MARLOFT_OK)
        return st;
    // The guard has its log open: no path may lead to it once the command runs.
    if (unlinkat(s.work.log_dir_fd, log_name, 0) != 0 || !write_start_file(s.work))
        return MARLOFT_SETUP_FAILED;
    return MARLOFT_OK;
}

marloft_session *new_session()
{
    auto *s = static_cast<marloft_session *>(calloc(1, sizeof(marloft_session)));
    if (s == nullptr)
        return nullptr;
    s->work.fd = s->work.job_fd = s->work.log_dir_fd = s->work.shell_fd = -1;
    s->job.runner = -1;
    s->job.runner_watch = s->job.result_watch = s->job.group_fd = -1;
    s->guard.pid = -1;
    s->guard.watch = -1;
    s->owner_fd = s->guard_out = s->log_fd = -1;
    s->outcome.guard_status = -1;
    return s;
}

// ------------------------------------------------------------------ finishing

bool result_is_in(const work_dir &w)
{
    struct stat st;
    return fstatat(w.job_fd, "result", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

// The guard's end as a shell shows it.
int shell_status(int raw)
{
    if ((raw & 0x7f) == 0)
        return (raw >> 8) & 0xff;
    return 128 + (raw & 0x7f);
}

// Takes what the guard has logged, keeping the tail of a log too long to
// hold: the summary is its last line. Reads only what is there.
void drain_log(marloft_session &s)
{
    for (;;) {
        if (s.log_size == s.log.size()) {
            constexpr size_t kept = line_budget;
            memmove(s.log.data(), s.log.data() + s.log_size - kept, kept);
            s.log_size = kept;
        }
        const ssize_t n = s.log_fd >= 0 ? read(s.log_fd, s.log.data() + s.log_size, s.log.size() - s.log_size) : 0;
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        s.log_size += static_cast<size_t>(n);
    }
}

// The last line of the guard's log, which its summary must be.
bool read_summary(const marloft_session &s, marloft_summary &out)
{
    const std::string_view text(s.log.data(), s.log_size);
    if (text.empty() || text.back() != '\n')
        return false;
    const size_t previous = text.size() < 2 ? std::string_view::npos : text.rfind('\n', text.size() - 2);
    const size_t start = previous == std::string_view::npos ? 0 : previous + 1;
    return parse_summary(text.substr(start), out);
}

// Lets the guard go and waits for it, by its timer at the latest.
void let_guard_go(marloft_session &s)
{
    close_fd(s.owner_fd);
    close_fd(s.guard_out);
    if (s.guard.pid < 0)
        return;
    int raw = 0;
    if (await_guard(s.guard, remaining_ms(s.guard_timer), raw) == 0) {
        kill_guard(s.guard, raw);
        s.outcome.cleaned_up_itself = 1;
    }
    s.outcome.guard_status = shell_status(raw);
    drain_log(s);
}

marloft_status judge(const marloft_outcome &o)
{
    const bool guard_clean = o.guard_status == 0 && o.has_summary != 0 && o.summary.cleaned != 0;
    if (o.cleaned_up_itself == 0 && guard_clean) {
        if (o.has_record != 0)
            return MARLOFT_OK;
        return o.summary.by_deadline != 0 ? MARLOFT_DEADLINE : MARLOFT_RUNNER_FAILED;
    }
    if (o.guard_status >= 6 && o.guard_status <= 9 && o.cleaned_up_itself == 0)
        return MARLOFT_NOT_EMPTIED;
    return MARLOFT_GUARD_FAILED;
}

// Everything the session made goes, whatever the job did: the guard, the
// job, the group or service, the work directory unless kept.
void tear_down(marloft_session &s, bool guard_clean)
{
    marloft_outcome &o = s.outcome;
    if (s.guard.pid >= 0) {
        int raw = 0;
        kill_guard(s.guard, raw);
        if (o.guard_status < 0)
            o.guard_status = shell_status(raw);
    }
    int shown_empty = guard_clean ? 1 : 0;
    if (s.job.runner >= 0 && !guard_clean) {
        shown_empty = empty_job(s.job);
        o.cleaned_up_itself = 1;
    }
    o.job_gone = shown_empty;
    if (s.work.job_fd >= 0)
        read_job_files(s.work, s.user, s.files);
    const bool job_removed = end_job(s.job, s.work, s.user, s.keep);
    const bool work_removed = remove_work_dir(s);
    o.left_behind = job_removed && work_removed ? 0 : 1;
}

void finish(marloft_session &s)
{
    marloft_outcome &o = s.outcome;
    let_guard_go(s);
    o.has_summary = read_summary(s, o.summary) ? 1 : 0;
    const bool guard_clean = o.cleaned_up_itself == 0 && o.guard_status == 0 && o.has_summary != 0 &&
                             o.summary.cleaned != 0;
    tear_down(s, guard_clean);
    o.has_record = s.files.has_record != 0 &&
                   parse_record(std::string_view(s.files.record.data(), s.files.record_size), o.record)
                       ? 1
                       : 0;
    o.status = judge(o);
    s.finished = true;
}

} // namespace

extern "C" {

marloft_session *marloft_session_start(const marloft_options *options, marloft_outcome *outcome)
{
    marloft_outcome failed{};
    failed.guard_status = -1;
    failed.status = options == nullptr ? MARLOFT_BAD_OPTIONS : check_options(*options);
    if (failed.status == MARLOFT_OK)
        failed.status = check_platform();
    marloft_session *s = failed.status == MARLOFT_OK ? new_session() : nullptr;
    if (failed.status == MARLOFT_OK && s == nullptr)
        failed.status = MARLOFT_SETUP_FAILED;
    if (s != nullptr)
        failed.status = find_user(options->user, s->user);
    const int shell_source = failed.status == MARLOFT_OK ? open_shell(options->shell) : -1;
    if (failed.status == MARLOFT_OK && shell_source < 0)
        failed.status = MARLOFT_NO_SHELL;
    if (failed.status == MARLOFT_OK) {
        s->keep = options->keep_dir != nullptr;
        failed.status = run_steps(*s, *options, shell_source);
    }
    if (shell_source >= 0)
        close(shell_source);
    if (failed.status == MARLOFT_OK) {
        if (outcome != nullptr)
            *outcome = s->outcome;
        return s;
    }
    if (s != nullptr) {
        // A failed start leaves nothing, and a directory to keep would hold
        // nothing worth keeping.
        s->keep = false;
        tear_down(*s, false);
        failed.job_gone = s->outcome.job_gone;
        failed.cleaned_up_itself = s->job.runner >= 0 ? 1 : 0;
        failed.left_behind = s->outcome.left_behind;
        failed.guard_status = s->outcome.guard_status;
        free(s);
    }
    if (outcome != nullptr)
        *outcome = failed;
    return nullptr;
}

int marloft_session_wait(marloft_session *s)
{
    if (s == nullptr || s->finished)
        return 0;
    while (!s->record_in) {
        s->record_in = result_is_in(s->work);
        if (s->record_in)
            break;
        pollfd p[3] = {{s->job.result_watch, POLLIN, 0}, {s->job.runner_watch, POLLIN, 0},
                       {s->guard_out, POLLIN, 0}};
        const int ready = poll(p, 3, remaining_ms(s->guard_timer));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        if (p[0].revents != 0)
            drain_result_watch(s->job);
        // The runner ended, or the guard's wait did (its output hangs up as
        // it turns to its log): no record is to come but one already there.
        if (p[1].revents != 0 || (p[2].revents & (POLLHUP | POLLERR)) != 0) {
            s->record_in = result_is_in(s->work);
            break;
        }
        if ((p[2].revents & POLLIN) != 0) {
            std::array<char, line_budget> discard;
            if (read(s->guard_out, discard.data(), discard.size()) <= 0)
                close_fd(s->guard_out);
        }
    }
    return s->record_in ? 1 : 0;
}

void marloft_session_finish(marloft_session *s, marloft_outcome *outcome)
{
    if (s == nullptr)
        return;
    if (!s->finished)
        finish(*s);
    if (outcome != nullptr)
        *outcome = s->outcome;
}

const char *marloft_session_output(const marloft_session *s, marloft_stream stream, size_t *size)
{
    size_t unused = 0;
    size_t &n = size != nullptr ? *size : unused;
    n = 0;
    if (s == nullptr || !s->finished)
        return "";
    if (stream == MARLOFT_STDOUT) {
        n = s->files.out_size;
        return s->files.output.data();
    }
    n = stream == MARLOFT_STDERR ? s->files.err_size : 0;
    return s->files.output.data() + s->files.out_size;
}

void marloft_session_free(marloft_session *s)
{
    if (s == nullptr)
        return;
    if (!s->finished)
        finish(*s);
    free(s);
}

const char *marloft_describe(marloft_status status)
{
    switch (status) {
    case MARLOFT_OK: return "the command ran to its end and the job is gone";
    case MARLOFT_DEADLINE: return "the deadline ended the command first; the job is gone";
    case MARLOFT_BAD_OPTIONS:
        return "no command, a deadline outside 1 to 330 seconds, or a job user that can't be "
               "(root; on macOS anyone but the caller)";
    case MARLOFT_NOT_PRIVILEGED: return "a session needs root here";
    case MARLOFT_NO_CGROUP2: return "no writable cgroup v2 hierarchy is mounted";
    case MARLOFT_UNKNOWN_USER: return "the job's user does not exist";
    case MARLOFT_NO_SHELL: return "marloft-shell is missing or can't be run";
    case MARLOFT_SETUP_FAILED: return "a directory, group, pipe or process could not be made";
    case MARLOFT_GUARD_REFUSED: return "the guard gave no valid ready line; the command never ran";
    case MARLOFT_RUNNER_FAILED: return "the runner ended without a record";
    case MARLOFT_GUARD_FAILED: return "the job's guard failed: it overran, was stopped or killed, or left no summary";
    case MARLOFT_NOT_EMPTIED: return "the guard could not empty the job";
    }
    return "unknown status";
}

} // extern "C"
