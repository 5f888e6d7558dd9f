#include "support/cgroup.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/harness.h"

std::string cgroup2_mount()
{
    // Fields of a mountinfo line: ... mount-point ... " - " fstype source opts
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        const size_t dash = line.find(" - ");
        if (dash == std::string::npos || line.compare(dash + 3, 8, "cgroup2 ") != 0)
            continue;
        std::istringstream fields(line.substr(0, dash));
        std::string id, parent, dev, root, mount_point;
        fields >> id >> parent >> dev >> root >> mount_point;
        return mount_point;
    }
    return {};
}

std::string cgroup_skip_reason()
{
    if (geteuid() != 0)
        return "needs root to create cgroups";
    const std::string mount = cgroup2_mount();
    if (mount.empty())
        return "no cgroup2 hierarchy is mounted";
    if (access((mount + "/cgroup.procs").c_str(), W_OK) != 0)
        return "the cgroup2 hierarchy at " + mount + " is not writable";
    return {};
}

std::string cgroup_of(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/cgroup");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("0::", 0) == 0)
            return line.substr(3);
    return {};
}

namespace {

void create_group(test_cgroup &group, const std::string &at)
{
    if (mkdir(at.c_str(), 0755) != 0)
        return;
    group.path = at;
    struct stat st;
    if (stat(at.c_str(), &st) == 0)
        group.id = st.st_ino;
    group.procs_fd = open((at + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
}

} // namespace

test_cgroup::test_cgroup(const std::string &tag, const std::string &lead)
{
    static int serial = 0;
    const std::string mount = cgroup2_mount();
    if (!mount.empty())
        create_group(*this, mount + "/" + lead + "marloft-test-" + std::to_string(getpid()) + "-" +
                                tag + "-" + std::to_string(serial++));
}

test_cgroup::test_cgroup(const test_cgroup &parent, const std::string &name)
{
    if (!parent.path.empty())
        create_group(*this, parent.path + "/" + name);
}

test_cgroup::~test_cgroup()
{
    if (path.empty())
        return;
    kill_all();
    if (procs_fd >= 0)
        close(procs_fd);
    // The kernel removes a group only once its last task is fully gone.
    wait_until([&] { return rmdir(path.c_str()) == 0 || errno == ENOENT; }, 5s);
}

bool test_cgroup::add(pid_t pid) const
{
    const std::string text = std::to_string(pid);
    return procs_fd >= 0 && write(procs_fd, text.data(), text.size()) ==
                                static_cast<ssize_t>(text.size());
}

std::vector<pid_t> test_cgroup::procs() const
{
    std::vector<pid_t> out;
    std::ifstream in(path + "/cgroup.procs");
    pid_t pid;
    while (in >> pid)
        out.push_back(pid);
    return out;
}

bool test_cgroup::populated() const
{
    return read_file(path + "/cgroup.events").find("populated 1") != std::string::npos;
}

bool test_cgroup::kill_all() const
{
    write_file(path + "/cgroup.kill", "1");
    // Killed children of ours turn into zombies that keep the group
    // populated until they are reaped.
    return wait_until(
        [&] {
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            return !populated();
        },
        10s);
}

pid_t start_relay(const std::string &helper, const test_cgroup &group, int ms)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    spawn_options options;
    options.fds.push_back({3, ready[1]});
    const pid_t relay =
        spawn({helper, "relay", group.path + "/cgroup.procs", std::to_string(ms)}, options);
    close(ready[1]);
    pid_t first = 0;
    const bool reported = read(ready[0], &first, sizeof first) == sizeof first;
    close(ready[0]);
    if (!reported || !wait_until([&] { return group.populated(); }, 5s)) {
        kill_and_reap(relay);
        return -1;
    }
    return relay;
}
