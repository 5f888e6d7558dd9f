#include "support/platform.h"

#include <cstdio>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/cgroup.h"
#include "support/harness.h"

void adopt_orphans()
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

bool adopts_orphans()
{
    int set = 0;
    return prctl(PR_GET_CHILD_SUBREAPER, &set) == 0 && set != 0;
}

int watch_exit(pid_t child)
{
    return static_cast<int>(syscall(SYS_pidfd_open, child, 0));
}

void in_own_coalition(const std::function<void()> &body)
{
    // Without root the process stays where it is (the reason is the
    // cgroup tests' to report).
    test_cgroup own("own");
    const std::string mount = cgroup2_mount();
    const std::string home = cgroup_of(getpid());
    if (!cgroup_skip_reason().empty() || !own.ok() || home.empty() || !own.add(getpid())) {
        body();
        return;
    }
    body();
    // Out again before the group is emptied, which kills all it holds.
    write_file(mount + home + "/cgroup.procs", std::to_string(getpid()));
    if (cgroup_of(getpid()) == own.path.substr(mount.size()))
        write_file(mount + "/cgroup.procs", std::to_string(getpid()));
    if (cgroup_of(getpid()) == own.path.substr(mount.size())) {
        ADD_FAILURE() << "could not leave " << own.path << "; it is left behind";
        own.path.clear();
    }
}

bool process_alive(pid_t pid)
{
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = status.rfind(')');
    if (paren == std::string::npos || paren + 2 >= status.size())
        return false;
    const char state = status[paren + 2];
    return state != 'Z' && state != 'X';
}

bool exchange_paths(const std::string &a, const std::string &b)
{
    return renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0;
}

int unreadable_directory_flags()
{
    return O_PATH | O_DIRECTORY | O_CLOEXEC;
}

std::vector<std::string> ignored_signals_program()
{
    return {"/bin/grep", "^SigIgn:", "/proc/self/status"};
}
