#pragma once

// Real cgroup v2 groups for tests. Each group is created under the cgroup2
// mount with a name of our own, emptied through cgroup.kill and removed at
// scope exit; no other cgroup is ever touched.

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

// Mount point of the cgroup2 hierarchy, or "" when there is none.
std::string cgroup2_mount();

// "" when the tests can create cgroups here, else why not.
std::string cgroup_skip_reason();

#define SKIP_WITHOUT_CGROUPS()                                       \
    do {                                                             \
        const std::string reason_ = cgroup_skip_reason();            \
        if (!reason_.empty())                                        \
            GTEST_SKIP() << reason_;                                 \
    } while (0)

struct test_cgroup {
    std::string path;   // absolute directory path
    uint64_t id = 0;    // inode number of the directory
    int procs_fd = -1;  // cgroup.procs, open for writing (see spawn_options)

    // lead goes before the name's prefix (".." makes a name that begins with
    // two dots).
    explicit test_cgroup(const std::string &tag, const std::string &lead = "");
    // A group of any name directly below parent; declared after parent, it
    // is removed first.
    test_cgroup(const test_cgroup &parent, const std::string &name);
    ~test_cgroup();
    test_cgroup(const test_cgroup &) = delete;
    test_cgroup &operator=(const test_cgroup &) = delete;

    bool ok() const { return procs_fd >= 0; }
    bool add(pid_t pid) const;
    std::vector<pid_t> procs() const;
    bool populated() const;
    // Kills every process in the group and waits until it is empty.
    bool kill_all() const;
};

// The cgroup path of pid relative to the mount ("/..."), or "".
std::string cgroup_of(pid_t pid);

// Starts helper's relay mode: a chain of processes inside group that each
// fork the next and exit at once, for ms milliseconds, reaped by the helper
// from outside the group. Returns the helper's pid once the chain is in the
// group, or -1.
pid_t start_relay(const std::string &helper, const test_cgroup &group, int ms);
