#include "support/harness.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/platform.h"

namespace {

// Makes the test process adopt orphans for its whole life, where it can, and
// reaps what the jobs leave behind after every test, so zombies never pile up.
struct reaper : testing::EmptyTestEventListener {
    void OnTestProgramStart(const testing::UnitTest &) override
    {
        adopt_orphans();
    }
    void OnTestEnd(const testing::TestInfo &) override
    {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
};

const bool reaper_installed = [] {
    adopt_orphans();
    testing::UnitTest::GetInstance()->listeners().Append(new reaper);
    return true;
}();

void child_setup(const spawn_options &options)
{
    // Park every source above the targets first, so that a mapping such as
    // {3, 4}, {4, 3} can't clobber itself.
    int parked[64];
    const size_t n = options.fds.size() < 64 ? options.fds.size() : 64;
    for (size_t i = 0; i < n; ++i)
        parked[i] = options.fds[i].second < 0 ? -1 : fcntl(options.fds[i].second, F_DUPFD, 512);
    if (options.cgroup_procs_fd >= 0) {
        if (write(options.cgroup_procs_fd, "0", 1) != 1)
            _exit(126);
    }
    if (options.run_as) {
        const auto [uid, gid] = *options.run_as;
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            _exit(126);
    }
    for (int fd = 3; fd < 512; ++fd)
        close(fd);
    for (size_t i = 0; i < n; ++i) {
        const int target = options.fds[i].first;
        if (parked[i] < 0)
            close(target);
        else
            dup2(parked[i], target);
    }
    for (size_t i = 0; i < n; ++i)
        if (parked[i] >= 0)
            close(parked[i]);
}

std::string drain(int fd)
{
    std::string s;
    char buf[4096];
    for (;;) {
        const ssize_t r = read(fd, buf, sizeof buf);
        if (r > 0) {
            s.append(buf, static_cast<size_t>(r));
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        return s;
    }
}

} // namespace

const char *shell_binary()
{
    return MARLOFT_SHELL_BIN;
}

pid_t spawn(const std::vector<std::string> &argv, const spawn_options &options)
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    child_setup(options);
    signal(SIGPIPE, SIG_DFL);
    for (const int sig : options.ignored_signals)
        signal(sig, SIG_IGN);
    for (const auto &[resource, value] : options.limits) {
        const rlimit limit{value, value};
        if (setrlimit(resource, &limit) != 0)
            _exit(126);
    }
    execv(args[0], args.data());
    _exit(127);
}

std::optional<int> wait_exit(pid_t pid, std::chrono::milliseconds timeout)
{
    int status = 0;
    pid_t got = 0;
    const int fd = watch_exit(pid);
    if (fd < 0) {
        wait_until([&] { return (got = waitpid(pid, &status, WNOHANG)) != 0; }, timeout);
        return got == pid ? std::optional<int>(status) : std::nullopt;
    }
    pollfd p{fd, POLLIN, 0};
    int ready;
    do
        ready = poll(&p, 1, static_cast<int>(timeout.count()));
    while (ready < 0 && errno == EINTR);
    close(fd);
    if (ready <= 0)
        return std::nullopt;
    do
        got = waitpid(pid, &status, 0);
    while (got < 0 && errno == EINTR);
    return got == pid ? std::optional<int>(status) : std::nullopt;
}

void kill_and_reap(pid_t pid)
{
    if (pid <= 1)
        return;
    // Only ever our own child: if it was reaped already, waitpid fails and
    // nothing else happens.
    if (waitpid(pid, nullptr, WNOHANG) != 0)
        return;
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

int exit_code(int raw_status)
{
    if (WIFEXITED(raw_status))
        return WEXITSTATUS(raw_status);
    if (WIFSIGNALED(raw_status))
        return 128 + WTERMSIG(raw_status);
    return -1;
}

run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       std::chrono::milliseconds timeout, spawn_options options)
{
    run_result result;
    int out[2], err[2];
    if (!open_pipe(out) || !open_pipe(err))
        return result;
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    options.fds.push_back({1, out[1]});
    options.fds.push_back({2, err[1]});
    const pid_t pid = spawn(argv, options);
    close(out[1]);
    close(err[1]);
    // Read the two pipes on two threads so a full pipe never stalls the child.
    std::thread err_reader([&] { result.err = drain(err[0]); });
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::thread out_reader([&] { result.out = drain(out[0]); });
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const std::optional<int> status = wait_exit(pid, left);
    if (status)
        result.status = exit_code(*status);
    else
        kill_and_reap(pid);
    out_reader.join();
    err_reader.join();
    close(out[0]);
    close(err[0]);
    return result;
}

run_result run_shell(const std::vector<std::string> &args, std::chrono::milliseconds timeout,
                     spawn_options options)
{
    return run_program(shell_binary(), args, timeout, options);
}

bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string read_file(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string s = drain(fd);
    close(fd);
    return s;
}

void write_file(const std::string &path, const std::string &content)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const ssize_t w = write(fd, content.data(), content.size());
    (void)w;
    close(fd);
}

bool open_pipe(int fds[2])
{
    if (pipe(fds) != 0)
        return false;
    for (const int fd : {fds[0], fds[1]})
        if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
            close(fds[0]);
            close(fds[1]);
            return false;
        }
    return true;
}

bool hangs_up(int fd, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[256];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        const int ready = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t got = read(fd, buf, sizeof buf);
        if (got == 0)
            return true;
        if (got < 0 && errno != EINTR)
            return false;
    }
}

temp_dir::temp_dir()
{
    char name[] = "/tmp/marloft-test-XXXXXX";
    if (mkdtemp(name) != nullptr)
        path = name;
}

temp_dir::~temp_dir()
{
    if (path.empty())
        return;
    // Tests leave unreadable directories behind; open them up before removal.
    const std::string command = "chmod -R u+rwx '" + path + "' 2>/dev/null; rm -rf '" + path + "'";
    const int r = std::system(command.c_str());
    (void)r;
}
