// Real processes in the shapes the scan must handle. Each mode reports the
// pids it made (its own first) as raw pid_t values on descriptor 3, then
// waits to be killed:
//   tree N          N paused children beside the paused parent
//   zombie          one child that has exited and is never reaped
//   leader-exit     the main thread exits while a second thread runs
//   nondumpable     marks itself non-dumpable first
//   churn N         forks and reaps N short-lived children, one at a time,
//                   then exits 0 (reports before it starts)
//   relay PROCS MS  a chain, for MS milliseconds, of processes that each fork
//                   the next and exit at once, inside the group whose
//                   cgroup.procs is PROCS; the helper stays outside the group
//                   and reaps the chain (reports the first link)
//   probe-guard FILE  tries to attach to the process whose pid FILE holds
//                   and to reopen its descriptor 3 for writing, prints
//                   "attach=E reopen=E" (errno values, 0 for success) on
//                   standard output and exits 0
// "as UID" before the mode switches to that user first; "real UID" makes
// UID only its real user, keeping root as the effective and saved one, as a
// setuid program does.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int report_fd = 3;

void report(const pid_t *pids, size_t count)
{
    const size_t size = count * sizeof(pid_t);
    if (write(report_fd, pids, size) != static_cast<ssize_t>(size))
        _exit(2);
}

[[noreturn]] void park()
{
    close(report_fd);
    for (;;)
        pause();
}

[[noreturn]] void tree(int children)
{
    pid_t pids[64];
    pids[0] = getpid();
    for (int i = 1; i <= children && i < 64; ++i) {
        pids[i] = fork();
        if (pids[i] == 0)
            park();
        if (pids[i] < 0)
            _exit(3);
    }
    report(pids, static_cast<size_t>(children + 1));
    park();
}

[[noreturn]] void zombie()
{
    pid_t pids[2] = {getpid(), fork()};
    if (pids[1] == 0)
        _exit(0);
    // Wait for the exit without reaping it.
    siginfo_t info;
    if (pids[1] < 0 || waitid(P_PID, static_cast<id_t>(pids[1]), &info, WEXITED | WNOWAIT) != 0)
        _exit(3);
    report(pids, 2);
    park();
}

void *run_on(void *)
{
    const pid_t self = getpid();
    report(&self, 1);
    park();
}

[[noreturn]] void leader_exit()
{
    pthread_t thread;
    if (pthread_create(&thread, nullptr, run_on, nullptr) != 0)
        _exit(3);
    pthread_exit(nullptr);
}

[[noreturn]] void churn(int children)
{
    const pid_t self = getpid();
    report(&self, 1);
    close(report_fd);
    for (int i = 0; i < children; ++i) {
        const pid_t child = fork();
        if (child == 0)
            _exit(0);
        if (child < 0 || waitpid(child, nullptr, 0) != child)
            _exit(3);
    }
    _exit(0);
}

long long now_ms()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
}

[[noreturn]] void relay(const char *procs, int ms)
{
    // The links' parents are gone by the time they end: as the subreaper,
    // the helper takes them in and reaps them, outside the group.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        _exit(3);
    const long long end = now_ms() + ms;
    const pid_t first = fork();
    if (first == 0) {
        const int fd = open(procs, O_WRONLY | O_CLOEXEC);
        if (fd < 0 || write(fd, "0", 1) != 1)
            _exit(3);
        close(fd);
        // Bounded twice: by the clock, and by the first failed fork.
        while (now_ms() < end && fork() == 0) {
        }
        _exit(0);
    }
    report(&first, 1);
    close(report_fd);
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
    _exit(0);
}

[[noreturn]] void probe_guard(const char *file)
{
    char text[16] = {};
    const int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || read(fd, text, sizeof text - 1) <= 0)
        _exit(3);
    close(fd);
    const pid_t pid = atoi(text);
    // Whatever worked is left in place: the guard then fails its test.
    const int attach = ptrace(PTRACE_ATTACH, pid, nullptr, nullptr) != 0 ? errno : 0;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/fd/3", pid);
    const int reopen = open(path, O_WRONLY) < 0 ? errno : 0;
    dprintf(STDOUT_FILENO, "attach=%d reopen=%d\n", attach, reopen);
    _exit(0);
}

} // namespace

int main(int argc, char **argv)
{
    int arg = 1;
    if (argc > arg + 1 && strcmp(argv[arg], "as") == 0) {
        const auto id = static_cast<uid_t>(atoi(argv[arg + 1]));
        if (setresgid(id, id, id) != 0 || setresuid(id, id, id) != 0)
            return 4;
        arg += 2;
    } else if (argc > arg + 1 && strcmp(argv[arg], "real") == 0) {
        if (setresuid(static_cast<uid_t>(atoi(argv[arg + 1])), 0, 0) != 0)
            return 4;
        arg += 2;
    }
    if (argc <= arg)
        return 1;
    const char *mode = argv[arg];
    const int count = argc > arg + 1 ? atoi(argv[arg + 1]) : 0;
    if (strcmp(mode, "tree") == 0)
        tree(count);
    if (strcmp(mode, "zombie") == 0)
        zombie();
    if (strcmp(mode, "leader-exit") == 0)
        leader_exit();
    if (strcmp(mode, "nondumpable") == 0) {
        if (prctl(PR_SET_DUMPABLE, 0) != 0)
            return 3;
        const pid_t self = getpid();
        report(&self, 1);
        park();
    }
    if (strcmp(mode, "churn") == 0)
        churn(count);
    if (strcmp(mode, "probe-guard") == 0 && argc > arg + 1)
        probe_guard(argv[arg + 1]);
    if (strcmp(mode, "relay") == 0 && argc > arg + 2)
        relay(argv[arg + 1], atoi(argv[arg + 2]));
    return 1;
}
