#include "session/session_platform.h"

// The job is a launchd service of the caller's GUI domain, so that the
// kernel puts it, and everything it starts, in coalitions of its own: the
// session writes its property list, bootstraps it, and learns the runner's
// pid from the kernel (session_macos_job.cpp). The job runs as the caller,
// so no step here needs another user's rights. Every path the job is given
// is absolute and resolved: its runner is told apart from every other
// process of the user by its own start file, and the kernel names
// executables by resolved path.
//
// Waiting is the kernel's: each watch is a kqueue of its own, readable once
// its event is in (a process's exit, a write to WORK/job), so the portable
// side can poll them all at once. A process that has ended before its watch
// is set up gets a watch that is readable from the start.

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/event.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "session/session_macos.h"

namespace session {

namespace {

constexpr const char *launchctl_path = "/bin/launchctl";
constexpr const char *find_path = "/usr/bin/find";
constexpr const char *label_prefix = "com.marloft.shell.session-";
constexpr int first_spawn_fd = 4; // above the guard's 0 to 3
constexpr size_t passwd_buffer_size = 4096;

using path = std::array<char, path_size>;

// One session's names, resolved once.
struct job_paths {
    path base, shell, start, job_dir, result, out, err, plist;
    std::array<char, name_size> label;
};

char *const no_environment[] = {nullptr};

template <size_t size> bool format(std::array<char, size> &out, const char *a, const char *b)
{
    const int n = snprintf(out.data(), out.size(), "%s%s", a, b);
    return n > 0 && static_cast<size_t>(n) < out.size();
}

bool make_paths(const work_dir &work, const char *unique, job_paths &p)
{
    if (realpath(work.path.data(), p.base.data()) == nullptr)
        return false;
    const char *base = p.base.data();
    return format(p.shell, base, "/marloft-shell") && format(p.start, base, "/start") &&
           format(p.job_dir, base, "/job") && format(p.result, base, "/job/result") &&
           format(p.out, base, "/job/stdout") && format(p.err, base, "/job/stderr") &&
           format(p.plist, base, "/job.plist") && format(p.label, label_prefix, unique);
}

macos_job::job_spec spec_of(const job_paths &p, const char *command)
{
    return {p.label.data(), p.shell.data(), p.start.data(), p.result.data(),
            p.out.data(),   p.err.data(),   p.job_dir.data(), command};
}

// Signals as a fresh process has them: the caller's mask and handlers are
// its own business.
bool init_attributes(posix_spawnattr_t &attr, short flags)
{
    if (posix_spawnattr_init(&attr) != 0)
        return false;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    const auto all_flags = static_cast<short>(flags | POSIX_SPAWN_CLOEXEC_DEFAULT |
                                              POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (posix_spawnattr_setflags(&attr, all_flags) != 0 ||
        posix_spawnattr_setsigmask(&attr, &none) != 0 ||
        posix_spawnattr_setsigdefault(&attr, &all) != 0) {
        posix_spawnattr_destroy(&attr);
        return false;
    }
    return true;
}

// The raw wait status of our child pid, or -1 when it can't be had.
int wait_status(pid_t pid)
{
    int status = 0;
    return reap(pid, status, 0) == pid ? status : -1;
}

// Runs program with /dev/null on 0 to 2 and nothing else open, and waits for
// it: its raw wait status, or -1 when it could not be run or waited for.
int run_quietly(const char *program, char *const argv[])
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    bool ok = true;
    for (int fd = 0; fd < 3; ++fd)
        ok = ok && posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0) == 0;
    pid_t pid = -1;
    if (ok && init_attributes(attr, 0)) {
        ok = posix_spawn(&pid, program, &actions, &attr, argv, no_environment) == 0;
        posix_spawnattr_destroy(&attr);
    }
    posix_spawn_file_actions_destroy(&actions);
    return ok && pid > 0 ? wait_status(pid) : -1;
}

bool succeeded(int status)
{
    return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int launchctl(const char *verb, const char *what, const char *more = nullptr)
{
    char *const argv[] = {const_cast<char *>("launchctl"), const_cast<char *>(verb),
                          const_cast<char *>(what), const_cast<char *>(more), nullptr};
    return run_quietly(launchctl_path, argv);
}

// A watch that is readable from the start.
bool trigger(int queue)
{
    struct kevent changes[2];
    EV_SET(&changes[0], 0, EVFILT_USER, EV_ADD, 0, 0, nullptr);
    EV_SET(&changes[1], 0, EVFILT_USER, 0, NOTE_TRIGGER, 0, nullptr);
    return kevent(queue, changes, 2, nullptr, 0, nullptr) == 0;
}

int new_queue()
{
    const int queue = kqueue();
    if (queue >= 0)
        fcntl(queue, F_SETFD, FD_CLOEXEC);
    return queue;
}

// Readable once pid has ended; -1 when no watch could be made.
int watch_exit(pid_t pid)
{
    const int queue = new_queue();
    if (queue < 0)
        return -1;
    struct kevent change;
    EV_SET(&change, static_cast<uintptr_t>(pid), EVFILT_PROC, EV_ADD, NOTE_EXIT, 0, nullptr);
    if (kevent(queue, &change, 1, nullptr, 0, nullptr) == 0 || (errno == ESRCH && trigger(queue)))
        return queue;
    close(queue);
    return -1;
}

// Readable after each change to the directory dir_fd, until drained.
int watch_writes(int dir_fd)
{
    const int queue = new_queue();
    if (queue < 0)
        return -1;
    struct kevent change;
    EV_SET(&change, static_cast<uintptr_t>(dir_fd), EVFILT_VNODE, EV_ADD | EV_CLEAR, NOTE_WRITE, 0,
           nullptr);
    if (kevent(queue, &change, 1, nullptr, 0, nullptr) == 0)
        return queue;
    close(queue);
    return -1;
}

// The job is a service of the caller's GUI domain; a command XML can't
// carry can't be given to launchd.
marloft_status bootstrap(const job_paths &p, const job_user &user, const char *command)
{
    switch (macos_job::write_plist(spec_of(p, command), p.plist.data())) {
    case macos_job::plist_status::unfit_text:
        return MARLOFT_BAD_OPTIONS;
    case macos_job::plist_status::failed:
        return MARLOFT_SETUP_FAILED;
    case macos_job::plist_status::written:
        break;
    }
    std::array<char, name_size> domain;
    const int n = snprintf(domain.data(), domain.size(), "gui/%u", static_cast<unsigned>(user.uid));
    const bool fits = n > 0 && static_cast<size_t>(n) < domain.size();
    const int status = fits ? launchctl("bootstrap", domain.data(), p.plist.data()) : -1;
    // launchd has read it; nothing needs it after this.
    unlink(p.plist.data());
    return succeeded(status) ? MARLOFT_OK : MARLOFT_SETUP_FAILED;
}

// The runner as the kernel shows it, with what the guard's ready line must
// name, and the watches the portable side waits on.
bool adopt_runner(const job_paths &p, const work_dir &work, const char *command, job_handle &out)
{
    pid_t runner = -1;
    if (macos_job::await_runner(spec_of(p, command), p.shell.data(), runner) != macos_job::search::found)
        return false;
    out.runner = runner;
    if (identity(runner, &out.pair) == 0 || is_job_pair(out.pair) == 0 ||
        read_boot_session(out.boot) == 0)
        return false;
    out.runner_watch = watch_exit(runner);
    out.result_watch = watch_writes(work.job_fd);
    return out.runner_watch >= 0 && out.result_watch >= 0;
}

bool format_target(const job_user &user, const job_paths &p, job_handle &out)
{
    const int n = snprintf(out.target.data(), out.target.size(), "gui/%u/%s",
                           static_cast<unsigned>(user.uid), p.label.data());
    return n > 0 && static_cast<size_t>(n) < out.target.size();
}

// A descriptor for the guard's file actions above the ones they fill, so
// that no action overwrites the source of a later one.
int above_targets(int fd, int &dup)
{
    dup = -1;
    if (fd >= first_spawn_fd)
        return fd;
    dup = fcntl(fd, F_DUPFD_CLOEXEC, first_spawn_fd);
    return dup;
}

bool guard_actions(posix_spawn_file_actions_t &actions, const work_dir &work, int owner, int out)
{
    if (posix_spawn_file_actions_init(&actions) != 0)
        return false;
    // The directory first: a later action may take its descriptor's number.
    const bool ok = posix_spawn_file_actions_addfchdir_np(&actions, work.log_dir_fd) == 0 &&
                    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
                    posix_spawn_file_actions_adddup2(&actions, out, 1) == 0 &&
                    posix_spawn_file_actions_adddup2(&actions, out, 2) == 0 &&
                    posix_spawn_file_actions_adddup2(&actions, owner, 3) == 0;
    if (!ok)
        posix_spawn_file_actions_destroy(&actions);
    return ok;
}

pid_t spawn_guard(const char *shell, const work_dir &work, const guard_launch &launch)
{
    int owner_dup = -1;
    int out_dup = -1;
    const int owner = above_targets(launch.owner_fd, owner_dup);
    const int out = above_targets(launch.out_fd, out_dup);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    pid_t pid = -1;
    if (owner >= 0 && out >= 0 && guard_actions(actions, work, owner, out)) {
        if (init_attributes(attr, POSIX_SPAWN_SETSID)) {
            if (posix_spawn(&pid, shell, &actions, &attr, const_cast<char *const *>(launch.argv),
                            no_environment) != 0)
                pid = -1;
            posix_spawnattr_destroy(&attr);
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    close_fd(owner_dup);
    close_fd(out_dup);
    return pid;
}

void reap_guard(guard_process &guard, int &status)
{
    status = wait_status(guard.pid);
    guard.pid = -1;
    close_fd(guard.watch);
}

// Same user as the job and the job gone: a plain walk that follows no link.
// True once it is empty.
bool empty_directory(const char *dir)
{
    char *const argv[] = {const_cast<char *>("find"), const_cast<char *>(dir),
                          const_cast<char *>("-mindepth"), const_cast<char *>("1"),
                          const_cast<char *>("-delete"), nullptr};
    return succeeded(run_quietly(find_path, argv));
}

} // namespace

// No pipe2 here: a fork by another thread of the caller between the two
// calls could pass the ends on, where the flag is not yet set.
bool make_pipe(int fds[2])
{
    if (pipe(fds) != 0)
        return false;
    if (fcntl(fds[0], F_SETFD, FD_CLOEXEC) == 0 && fcntl(fds[1], F_SETFD, FD_CLOEXEC) == 0)
        return true;
    close(fds[0]);
    close(fds[1]);
    return false;
}

marloft_status check_platform()
{
    return access(launchctl_path, X_OK) == 0 ? MARLOFT_OK : MARLOFT_SETUP_FAILED;
}

// The job runs in the caller's GUI domain, so as the caller: a name is
// accepted only when it is the caller's own.
marloft_status find_user(const char *name, job_user &out)
{
    passwd entry{};
    passwd *found = nullptr;
    std::array<char, passwd_buffer_size> buffer;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return MARLOFT_UNKNOWN_USER;
    if (name != nullptr && strcmp(name, entry.pw_name) != 0)
        return MARLOFT_BAD_OPTIONS;
    out.uid = entry.pw_uid;
    out.gid = entry.pw_gid;
    if (!format(out.name, entry.pw_name, "") || !format(out.home, entry.pw_dir, ""))
        return MARLOFT_UNKNOWN_USER;
    return MARLOFT_OK;
}

// argv: marloft-shell, run, then the start file, the result and the
// captures as the runner's working directory sees them, then the command.
// launchd gets them resolved instead, and the start file's path is what
// tells the runner apart.
marloft_status start_job(const work_dir &work, const job_user &user, const char *unique,
                         const char *const *argv, job_handle &out)
{
    const char *command = argv[macos_job::runner_argc - 1];
    job_paths p{};
    if (command == nullptr || argv[macos_job::runner_argc] != nullptr || !make_paths(work, unique, p))
        return MARLOFT_SETUP_FAILED;
    job_handle job = out;
    if (!format_target(user, p, job))
        return MARLOFT_SETUP_FAILED;
    if (const marloft_status status = bootstrap(p, user, command); status != MARLOFT_OK) {
        (void)launchctl("bootout", job.target.data());
        return status;
    }
    if (!adopt_runner(p, work, command, job)) {
        (void)launchctl("bootout", job.target.data());
        if (is_valid(job.pair))
            (void)macos_job::empty_coalition(job.pair);
        close_fd(job.runner_watch);
        close_fd(job.result_watch);
        return MARLOFT_SETUP_FAILED;
    }
    job.group_fd = -1;
    out = job;
    return MARLOFT_OK;
}

// The guard runs the copy in WORK by path: there is no exec by descriptor
// here, and the caller may reach WORK as the job may.
marloft_status start_guard(const work_dir &work, const job_user &, const guard_launch &launch,
                           guard_process &out)
{
    path shell;
    if (!format(shell, work.path.data(), "/marloft-shell"))
        return MARLOFT_SETUP_FAILED;
    out.pid = spawn_guard(shell.data(), work, launch);
    if (out.pid < 0)
        return MARLOFT_SETUP_FAILED;
    out.watch = watch_exit(out.pid);
    // Without a watch the guard can't be waited for in time: the portable
    // side kills it.
    return out.watch >= 0 ? MARLOFT_OK : MARLOFT_SETUP_FAILED;
}

int await_guard(guard_process &guard, int timeout_ms, int &status)
{
    if (guard.pid < 0)
        return 0;
    if (guard.watch >= 0 && !poll_until(guard.watch, POLLIN, now_ms() + timeout_ms))
        return 0;
    // Its exit is in: the wait ends at once.
    if (guard.watch >= 0) {
        reap_guard(guard, status);
        return 1;
    }
    int raw = 0;
    if (waitpid(guard.pid, &raw, WNOHANG) != guard.pid)
        return 0;
    status = raw;
    guard.pid = -1;
    return 1;
}

void kill_guard(guard_process &guard, int &status)
{
    if (guard.pid < 0)
        return;
    // Our child, not yet reaped: the pid can't name anyone else.
    (void)kill(guard.pid, SIGKILL);
    reap_guard(guard, status);
}

// Kills what a scan finds, boots the service out (launchd may start the
// runner again while it does), and takes only a scan after that as proof.
int empty_job(job_handle &job)
{
    if (!is_valid(job.pair))
        return 0;
    (void)macos_job::empty_coalition(job.pair);
    if (job.target[0] != '\0')
        (void)launchctl("bootout", job.target.data());
    return macos_job::empty_coalition(job.pair) ? 1 : 0;
}

// The job ran as the caller: nothing to read on anyone else's behalf.
void read_job_files(const work_dir &work, const job_user &, job_files &out)
{
    read_files_at(work.job_fd, out);
}

void drain_result_watch(job_handle &job)
{
    if (job.result_watch < 0)
        return;
    struct kevent events[8];
    const timespec now{0, 0};
    while (kevent(job.result_watch, nullptr, 0, events, 8, &now) > 0) {
    }
}

// The runner is launchd's child, not ours: the bootout ends it, if the guard
// has not already.
// A service that is already gone fails its bootout: that is no sign of one
// left behind.
bool end_job(job_handle &job, const work_dir &work, const job_user &, bool keep)
{
    if (job.target[0] != '\0')
        (void)launchctl("bootout", job.target.data());
    job.target[0] = '\0';
    close_fd(job.runner_watch);
    close_fd(job.result_watch);
    path job_dir;
    return keep || (format(job_dir, work.path.data(), "/job") && empty_directory(job_dir.data()));
}

} // namespace session
