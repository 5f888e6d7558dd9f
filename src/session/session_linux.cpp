#include "session/session_platform.h"

// A session on Linux, for a root caller. The job lives in a cgroup of its
// own, below one parent group of the library's, and runs as an unprivileged
// user, so that it can neither leave its group nor touch the caller: the
// group is root's, and the job's user can't write it. The runner joins the
// group before it drops root and execs, so nothing of the job ever runs
// outside it.
//
// Every child is forked and runs async-signal-safe calls only until its exec
// (or, for the one that reads the job's files, until its _exit). A pipe
// that closes on exec tells the parent the exec happened, and so that the
// child has become the job's user; a failure comes back on it as an errno.
//
// What the job left is removed as the job's user (find's -delete in a child
// that dropped root): a root walk over a tree that a process of that user
// could be changing under it could be steered into anything root can reach.

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace session {

namespace {

constexpr const char *default_user = "nobody";
constexpr const char *parent_group = "marloft-session";
constexpr const char *find_path = "/usr/bin/find";
constexpr int dir_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Where a child moves the descriptors it needs, above the ones it sets up.
constexpr int child_fd_floor = 10;
// How long the session waits for a killed group to empty.
constexpr int empty_timeout_ms = 5000;
// How long a child that becomes the job's user may take to exec, to read the
// job's files, and for each pass over the job's tree: any process of that
// user can stop it, and the session must end all the same.
constexpr int exec_timeout_ms = 5000;
constexpr int read_timeout_ms = 5000;
constexpr int clear_pass_timeout_ms = 10000;
constexpr int group_attempts = 8;
constexpr size_t env_entries = 5;

struct environment {
    std::array<std::array<char, path_size + 16>, env_entries> text;
    std::array<char *, env_entries + 1> pointers;
};

// One child: who it becomes, where it stands, what it gets on 1 to 3, and
// what it runs (an executable's descriptor, or else a path).
struct spawn_plan {
    const job_user *user;
    int dir_fd;
    int shell_fd;
    const char *path;
    const char *const *argv;
    char *const *envp;
    int procs_fd; // cgroup.procs to join first, or -1
    int fd3;      // the descriptor for 3, or -1
    int out_fd;   // the descriptor for 1 and 2, or -1 for /dev/null
};

int pidfd_open(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Reaps a child of ours that runs as the job's user, killing it first if it
// has not ended by until: true when it ended by itself in time.
bool reap_by(pid_t pid, int64_t until, int &status)
{
    const int watch = pidfd_open(pid);
    const bool ended = watch >= 0 && poll_until(watch, POLLIN, until);
    if (watch >= 0)
        close(watch);
    if (!ended)
        kill(pid, SIGKILL);
    return reap(pid, status, 0) == pid && ended;
}

bool find_cgroup2(std::array<char, path_size> &mount)
{
    FILE *in = fopen("/proc/self/mountinfo", "re");
    if (in == nullptr)
        return false;
    std::array<char, path_size + 512> line;
    bool found = false;
    while (!found && fgets(line.data(), static_cast<int>(line.size()), in) != nullptr) {
        // ID PARENT MAJ:MIN ROOT MOUNT-POINT ... - TYPE SOURCE OPTIONS
        const char *dash = strstr(line.data(), " - cgroup2 ");
        std::array<char, path_size> point{};
        if (dash == nullptr || sscanf(line.data(), "%*s %*s %*s %*s %4095s", point.data()) != 1)
            continue;
        // Octal escapes mark a mount point with spaces: not ours to guess.
        found = strchr(point.data(), '\\') == nullptr;
        mount = point;
    }
    (void)fclose(in);
    return found;
}

void build_environment(const job_user &user, environment &env)
{
    const char *lang = getenv("LANG");
    size_t n = 0;
    auto add = [&](const char *name, const char *value) {
        const int length = snprintf(env.text[n].data(), env.text[n].size(), "%s=%s", name, value);
        if (length > 0 && static_cast<size_t>(length) < env.text[n].size()) {
            env.pointers[n] = env.text[n].data();
            ++n;
        }
    };
    add("PATH", "/usr/local/bin:/usr/bin:/bin");
    add("HOME", user.home.data());
    add("USER", user.name.data());
    add("LOGNAME", user.name.data());
    if (lang != nullptr)
        add("LANG", lang);
    env.pointers[n] = nullptr;
}

// ------------------------------------------------------------- the child

// Every descriptor the child needs, moved above the ones it will set up, so
// that setting up one never overwrites another.
bool lift(int &fd)
{
    if (fd < 0)
        return true;
    fd = fcntl(fd, F_DUPFD_CLOEXEC, child_fd_floor);
    return fd >= 0;
}

// Only what exec gets stays open: every descriptor from first on closes on
// exec, whatever the caller left without that flag.
void close_on_exec_from(int first)
{
    if (syscall(SYS_close_range, static_cast<unsigned>(first), ~0U, 4 /* CLOSE_RANGE_CLOEXEC */) == 0)
        return;
    for (int fd = first; fd < 65536; ++fd)
        (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
}

void reset_signals()
{
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        (void)sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    (void)sigprocmask(SIG_SETMASK, &none, nullptr);
}

bool become(const job_user &user)
{
    return setgroups(0, nullptr) == 0 && setresgid(user.gid, user.gid, user.gid) == 0 &&
           setresuid(user.uid, user.uid, user.uid) == 0;
}

bool set_up_descriptors(spawn_plan p, int null_fd)
{
    if (!lift(null_fd) || !lift(p.fd3) || !lift(p.out_fd))
        return false;
    const int out = p.out_fd >= 0 ? p.out_fd : null_fd;
    if (dup2(null_fd, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
        return false;
    if (p.fd3 >= 0 && dup2(p.fd3, 3) < 0)
        return false;
    close_on_exec_from(p.fd3 >= 0 ? 4 : 3);
    return true;
}

[[noreturn]] void run_child(const spawn_plan &p, int report_fd, int null_fd)
{
    int step_failed = 0;
    reset_signals();
    if (p.procs_fd >= 0 && write(p.procs_fd, "0", 1) != 1)
        step_failed = errno;
    if (step_failed == 0 && (setsid() < 0 || fchdir(p.dir_fd) != 0))
        step_failed = errno;
    if (step_failed == 0 && (!lift(report_fd) || !set_up_descriptors(p, null_fd)))
        step_failed = errno;
    umask(077);
    if (step_failed == 0 && !become(*p.user))
        step_failed = errno;
    if (step_failed == 0) {
        if (p.shell_fd >= 0)
            fexecve(p.shell_fd, const_cast<char *const *>(p.argv), p.envp);
        else
            execve(p.path, const_cast<char *const *>(p.argv), p.envp);
        step_failed = errno;
    }
    (void)!write(report_fd, &step_failed, sizeof step_failed);
    _exit(127);
}

// Starts the child and returns its pid once it has exec'd, or -1 (with
// nothing left) when it could not get there.
pid_t spawn(const spawn_plan &plan)
{
    int report[2];
    const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0 || pipe2(report, O_CLOEXEC) != 0) {
        if (null_fd >= 0)
            close(null_fd);
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0)
        run_child(plan, report[1], null_fd);
    close(report[1]);
    close(null_fd);
    int error = 0;
    ssize_t got = -1;
    // Between becoming the job's user and its exec, the child can be stopped.
    const int64_t until = now_ms() + exec_timeout_ms;
    while (pid > 0 && poll_until(report[0], POLLIN, until)) {
        got = read(report[0], &error, sizeof error);
        if (got >= 0 || errno != EINTR)
            break;
    }
    close(report[0]);
    if (pid > 0 && got != 0) {
        int status = 0;
        kill(pid, SIGKILL);
        reap(pid, status, 0);
        return -1;
    }
    return pid;
}

// ---------------------------------------------------------------- the group

bool make_group(const char *unique, job_handle &job)
{
    std::array<char, path_size> mount;
    std::array<char, path_size> parent;
    if (!find_cgroup2(mount))
        return false;
    const int n = snprintf(parent.data(), parent.size(), "%s/%s", mount.data(), parent_group);
    const int m = snprintf(job.group_path.data(), job.group_path.size(), "%s/%s", parent.data(), unique);
    if (n <= 0 || m <= 0 || static_cast<size_t>(m) >= job.group_path.size())
        return false;
    // Another session may remove the parent once it is empty, between our
    // making it and making the group in it: then make it again.
    bool made = false;
    for (int attempt = 0; !made && attempt < group_attempts; ++attempt) {
        if (mkdir(parent.data(), 0755) != 0 && errno != EEXIST)
            return false;
        made = mkdir(job.group_path.data(), 0755) == 0;
        if (!made && errno != ENOENT)
            return false;
    }
    job.group_fd = made ? open(job.group_path.data(), dir_flags) : -1;
    struct stat st;
    if (job.group_fd < 0 || fstat(job.group_fd, &st) != 0)
        return false;
    job.pair = coalition_ids{st.st_ino, st.st_ino};
    return true;
}

// True once the job's group is gone.
bool remove_group(job_handle &job)
{
    if (job.group_path[0] == '\0')
        return true;
    bool gone = rmdir(job.group_path.data()) == 0 || errno == ENOENT;
    if (!gone && errno == EBUSY && empty_job(job) != 0)
        gone = rmdir(job.group_path.data()) == 0;
    // The parent goes once no session uses it; one that still does keeps it.
    char *slash = strrchr(job.group_path.data(), '/');
    if (slash != nullptr) {
        *slash = '\0';
        rmdir(job.group_path.data());
    }
    job.group_path[0] = '\0';
    return gone;
}

bool is_empty(int events_fd)
{
    std::array<char, 256> text{};
    const ssize_t n = pread(events_fd, text.data(), text.size() - 1, 0);
    return n > 0 && strstr(text.data(), "populated 0\n") != nullptr;
}

// Removes what the job made in WORK/job, as the job's user. A directory the
// job made unreadable or unwritable, WORK/job itself included, stops the
// first pass; the second opens them first. True once it is empty.
bool clear_job_dir(const work_dir &work, const job_user &user)
{
    char *const no_env[] = {nullptr};
    const char *const remove[] = {"find", "job", "-mindepth", "1", "-delete", nullptr};
    const char *const open_up[] = {"find", "job", "-type", "d", "!", "-perm", "-700",
                                   "-exec", "chmod", "u+rwx", "{}", ";", nullptr};
    const char *const *passes[] = {remove, open_up, remove};
    for (const char *const *argv : passes) {
        const spawn_plan plan{&user, work.fd, -1, find_path, argv, no_env, -1, -1, -1};
        const pid_t pid = spawn(plan);
        int status = 0;
        if (pid > 0 && reap_by(pid, now_ms() + clear_pass_timeout_ms, status) && status == 0 &&
            argv == remove)
            return true;
    }
    return false;
}

} // namespace

bool make_pipe(int fds[2])
{
    return pipe2(fds, O_CLOEXEC) == 0;
}

marloft_status check_platform()
{
    if (geteuid() != 0)
        return MARLOFT_NOT_PRIVILEGED;
    std::array<char, path_size> mount;
    std::array<char, path_size + 16> procs;
    if (!find_cgroup2(mount))
        return MARLOFT_NO_CGROUP2;
    (void)snprintf(procs.data(), procs.size(), "%s/cgroup.procs", mount.data());
    return access(procs.data(), W_OK) == 0 ? MARLOFT_OK : MARLOFT_NO_CGROUP2;
}

marloft_status find_user(const char *name, job_user &out)
{
    passwd entry{};
    passwd *found = nullptr;
    std::array<char, 16384> buffer;
    if (getpwnam_r(name != nullptr ? name : default_user, &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr)
        return MARLOFT_UNKNOWN_USER;
    // Root's job could leave its group and undo everything the session does.
    if (entry.pw_uid == 0)
        return MARLOFT_BAD_OPTIONS;
    out.uid = entry.pw_uid;
    out.gid = entry.pw_gid;
    const int n = snprintf(out.name.data(), out.name.size(), "%s", entry.pw_name);
    const int h = snprintf(out.home.data(), out.home.size(), "%s", entry.pw_dir);
    if (n <= 0 || static_cast<size_t>(n) >= out.name.size() || h < 0 ||
        static_cast<size_t>(h) >= out.home.size())
        return MARLOFT_UNKNOWN_USER;
    return MARLOFT_OK;
}

marloft_status start_job(const work_dir &work, const job_user &user, const char *unique,
                         const char *const *argv, job_handle &out)
{
    if (read_boot_session(out.boot) == 0 || !make_group(unique, out))
        return MARLOFT_SETUP_FAILED;
    const int n = snprintf(out.target.data(), out.target.size(), "gui/%u/com.marloft.shell.session-%s",
                           static_cast<unsigned>(user.uid), unique);
    if (n <= 0 || static_cast<size_t>(n) >= out.target.size())
        return MARLOFT_SETUP_FAILED;
    // The very directory the session made, through its descriptor: a path
    // could name another by now.
    std::array<char, 32> job_path;
    (void)snprintf(job_path.data(), job_path.size(), "/proc/self/fd/%d", work.job_fd);
    out.result_watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (out.result_watch >= 0 &&
        inotify_add_watch(out.result_watch, job_path.data(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR) < 0)
        close_fd(out.result_watch);
    environment env;
    build_environment(user, env);
    int procs_fd = openat(out.group_fd, "cgroup.procs", O_WRONLY | O_CLOEXEC);
    const spawn_plan plan{&user, work.job_fd, work.shell_fd, nullptr, argv, env.pointers.data(),
                          procs_fd, -1, -1};
    out.runner = procs_fd >= 0 ? spawn(plan) : -1;
    close_fd(procs_fd);
    if (out.runner < 0)
        return MARLOFT_SETUP_FAILED;
    out.runner_watch = pidfd_open(out.runner);
    return MARLOFT_OK;
}

marloft_status start_guard(const work_dir &work, const job_user &user, const guard_launch &launch,
                           guard_process &out)
{
    environment env;
    build_environment(user, env);
    const spawn_plan plan{&user, work.log_dir_fd, work.shell_fd, nullptr, launch.argv, env.pointers.data(),
                          -1, launch.owner_fd, launch.out_fd};
    out.pid = spawn(plan);
    if (out.pid < 0)
        return MARLOFT_SETUP_FAILED;
    out.watch = pidfd_open(out.pid);
    return MARLOFT_OK;
}

int await_guard(guard_process &guard, int timeout_ms, int &status)
{
    if (guard.pid < 0)
        return 1;
    if (guard.watch >= 0 && !poll_until(guard.watch, POLLIN, now_ms() + timeout_ms))
        return 0;
    reap(guard.pid, status, 0);
    guard.pid = -1;
    close_fd(guard.watch);
    return 1;
}

void kill_guard(guard_process &guard, int &status)
{
    if (guard.pid < 0)
        return;
    // The pidfd names the guard even if it has ended meanwhile; the pid
    // alone is safe too, as the guard is our unreaped child.
    if (guard.watch < 0 || syscall(SYS_pidfd_send_signal, guard.watch, SIGKILL, nullptr, 0) != 0)
        kill(guard.pid, SIGKILL);
    reap(guard.pid, status, 0);
    guard.pid = -1;
    close_fd(guard.watch);
}

int empty_job(job_handle &job)
{
    if (job.group_fd < 0)
        return 0;
    const int kill_fd = openat(job.group_fd, "cgroup.kill", O_WRONLY | O_CLOEXEC);
    if (kill_fd >= 0) {
        (void)!write(kill_fd, "1", 1);
        close(kill_fd);
    }
    int events_fd = openat(job.group_fd, "cgroup.events", O_RDONLY | O_CLOEXEC);
    if (events_fd < 0)
        return 0;
    // The kernel flags cgroup.events with POLLPRI whenever it changes.
    const int64_t until = now_ms() + empty_timeout_ms;
    bool empty = is_empty(events_fd);
    while (!empty && remaining_ms(until) > 0) {
        (void)poll_until(events_fd, POLLPRI, until);
        empty = is_empty(events_fd);
    }
    close_fd(events_fd);
    return empty ? 1 : 0;
}

void read_job_files(const work_dir &work, const job_user &user, job_files &out)
{
    out.has_record = 0;
    out.record_size = out.out_size = out.err_size = 0;
    void *shared = mmap(nullptr, sizeof(job_files), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED)
        return;
    auto *files = static_cast<job_files *>(shared);
    const pid_t pid = fork();
    if (pid == 0) {
        // Never read as root what the job may have planted.
        if (!become(user))
            _exit(1);
        read_files_at(work.job_fd, *files);
        _exit(0);
    }
    int status = 1;
    if (pid > 0 && reap_by(pid, now_ms() + read_timeout_ms, status) && status == 0)
        memcpy(&out, files, sizeof out);
    munmap(shared, sizeof(job_files));
}

void drain_result_watch(job_handle &job)
{
    alignas(inotify_event) std::array<char, 4096> events;
    while (job.result_watch >= 0 && read(job.result_watch, events.data(), events.size()) > 0) {
    }
}

bool end_job(job_handle &job, const work_dir &work, const job_user &user, bool keep)
{
    if (job.runner > 0) {
        int status = 0;
        // An emptied group holds no runner: it has ended, and only waits to
        // be reaped.
        const int events_fd = job.group_fd >= 0 ? openat(job.group_fd, "cgroup.events", O_RDONLY | O_CLOEXEC) : -1;
        const bool ended = events_fd >= 0 && is_empty(events_fd);
        if (events_fd >= 0)
            close(events_fd);
        reap(job.runner, status, ended ? 0 : WNOHANG);
        job.runner = -1;
    }
    close_fd(job.runner_watch);
    close_fd(job.result_watch);
    const bool group_gone = remove_group(job);
    close_fd(job.group_fd);
    return (keep || work.fd < 0 || clear_job_dir(work, user)) && group_gone;
}

} // namespace session
