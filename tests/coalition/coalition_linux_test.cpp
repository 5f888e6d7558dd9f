// The Linux backend against real processes in real cgroups: a group of our
// own stands in for a job's coalition.

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "coalition/coalition.h"
#include "support/cgroup.h"
#include "support/harness.h"

namespace {

constexpr uid_t unprivileged = 65534;

coalition_ids pair_of(const test_cgroup &group)
{
    return {group.id, group.id};
}

bool read_exactly(int fd, void *buffer, size_t size)
{
    auto *bytes = static_cast<char *>(buffer);
    size_t done = 0;
    while (done < size) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10'000) <= 0)
            return false;
        const ssize_t got = read(fd, bytes + done, size - done);
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

// Starts the helper straight inside group and returns the pids it reports
// (the helper's own first), or nothing if it did not report in time.
std::vector<pid_t> start_helper(const test_cgroup &group, const std::vector<std::string> &args,
                                size_t reported)
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return {};
    std::vector<std::string> argv{COALITION_HELPER};
    argv.insert(argv.end(), args.begin(), args.end());
    spawn_options options;
    options.fds.push_back({3, ready[1]});
    options.cgroup_procs_fd = group.procs_fd;
    const pid_t pid = spawn(argv, options);
    close(ready[1]);
    std::vector<pid_t> pids(reported);
    const bool ok = pid > 0 && read_exactly(ready[0], pids.data(), reported * sizeof(pid_t));
    close(ready[0]);
    if (!ok) {
        kill_and_reap(pid);
        return {};
    }
    return pids;
}

// Makes the calling process see a kernel from before pidfds could name their
// process's group: the backend must then read procfs instead. A seccomp
// filter fails just that ioctl, as such a kernel does.
bool as_older_kernel()
{
    using pidfd_info_record = std::array<char, 64>;
    constexpr auto pidfd_get_info = static_cast<uint32_t>(_IOWR(0xFF, 11, pidfd_info_record));
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_ioctl, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args) + sizeof(uint64_t)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, pidfd_get_info, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOTTY),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        return false;
    // Prove the filter bites before anything relies on it.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
    std::array<char, 64> info{};
    const bool refused = pidfd >= 0 && ioctl(pidfd, pidfd_get_info, info.data()) != 0 && errno == ENOTTY;
    close(pidfd);
    return refused;
}

struct scan_result {
    int count = -2; // -2: the scanning child itself failed
    std::vector<pid_t> pids;
    pid_t scanner = 0;
};

// Runs members() in a forked child, optionally moved into a group first and
// running as another user, so that the caller's own process and user are
// the ones under test.
scan_result scan_from(const coalition_ids &target, int join_procs_fd, uid_t as = 0,
                      const std::function<bool()> &prepare = {})
{
    int out[2];
    scan_result result;
    if (pipe2(out, O_CLOEXEC) != 0)
        return result;
    const pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        if (join_procs_fd >= 0 && write(join_procs_fd, "0", 1) != 1)
            _exit(1);
        if (prepare && !prepare())
            _exit(1);
        if (as != 0 && (setresgid(as, as, as) != 0 || setresuid(as, as, as) != 0))
            _exit(1);
        member_list list;
        const int count = members(target, list);
        const auto bytes = static_cast<size_t>(count > 0 ? count : 0) * sizeof(pid_t);
        if (write(out[1], &count, sizeof count) != sizeof count ||
            write(out[1], list.data(), bytes) != static_cast<ssize_t>(bytes))
            _exit(1);
        _exit(0);
    }
    close(out[1]);
    result.scanner = child;
    int count = 0;
    if (child > 0 && read_exactly(out[0], &count, sizeof count)) {
        result.pids.resize(static_cast<size_t>(count > 0 ? count : 0));
        if (read_exactly(out[0], result.pids.data(), result.pids.size() * sizeof(pid_t)))
            result.count = count;
    }
    close(out[0]);
    kill_and_reap(child);
    return result;
}

std::vector<pid_t> sorted(std::vector<pid_t> pids)
{
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::vector<pid_t> scan(const coalition_ids &target, int &count)
{
    member_list list;
    count = members(target, list);
    return std::vector<pid_t>(list.begin(), list.begin() + std::max(count, 0));
}

std::string status_field(pid_t pid, const std::string &field)
{
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("\n" + field + ":\t");
    if (at == std::string::npos)
        return {};
    const size_t begin = at + field.size() + 3;
    return status.substr(begin, status.find('\n', begin) - begin);
}

TEST(CoalitionLinux, GroupAndItsChildrenShareOneValidPair)
{
    SKIP_WITHOUT_CGROUPS();
    test_cgroup job("job"), other("other");
    ASSERT_TRUE(job.ok() && other.ok());
    const std::vector<pid_t> tree = start_helper(job, {"tree", "2"}, 3);
    const std::vector<pid_t> stranger = start_helper(other, {"tree", "0"}, 1);
    ASSERT_EQ(tree.size(), 3u);
    ASSERT_EQ(stranger.size(), 1u);

    coalition_ids own{};
    ASSERT_EQ(identity(getpid(), &own), 1);
    EXPECT_TRUE(is_valid(own));
    for (const pid_t pid : tree) {
        coalition_ids ids{};
        ASSERT_EQ(identity(pid, &ids), 1) << pid;
        EXPECT_TRUE(is_valid(ids));
        EXPECT_TRUE(ids == pair_of(job)) << pid;
        EXPECT_FALSE(ids == own) << pid;
    }
    coalition_ids ids{};
    ASSERT_EQ(identity(stranger[0], &ids), 1);
    EXPECT_TRUE(ids == pair_of(other));
}

TEST(CoalitionLinux, IdentityFailsForProcessesThatDoNotExist)
{
    for (const pid_t pid : {0, -1, 0x7fffffff}) {
        coalition_ids ids{};
        EXPECT_EQ(identity(pid, &ids), 0) << pid;
        EXPECT_EQ(is_users_process(pid), 0) << pid;
    }
}

// A group below the job's group (a split job) counts, and so does another
// user's process: the guard must never call a job cleaned while anything
// lives in its subtree. Whose each is only decides who may signal it.
TEST(CoalitionLinux, MembersAreTheLiveProcessesInTheGroupAndBelow)
{
    SKIP_WITHOUT_CGROUPS();
    test_cgroup job("job"), other("other");
    test_cgroup split(job, "split");
    ASSERT_TRUE(job.ok() && other.ok() && split.ok());
    const std::vector<pid_t> tree = start_helper(job, {"tree", "2"}, 3);
    const std::vector<pid_t> with_zombie = start_helper(job, {"zombie"}, 2);
    const std::vector<pid_t> foreign_user =
        start_helper(job, {"as", std::to_string(unprivileged), "tree", "0"}, 1);
    const std::vector<pid_t> below = start_helper(split, {"tree", "0"}, 1);
    const std::vector<pid_t> elsewhere = start_helper(other, {"tree", "1"}, 2);
    // Root by its effective uid, the other user's by its real one: a setuid
    // program that user ran, which may turn back into that user at any time.
    const std::vector<pid_t> setuid_like =
        start_helper(job, {"real", std::to_string(unprivileged), "tree", "0"}, 1);
    ASSERT_EQ(tree.size() + with_zombie.size() + foreign_user.size() + below.size() +
                  elsewhere.size() + setuid_like.size(),
              10u);
    ASSERT_FALSE(process_alive(with_zombie[1]));

    // The scanner runs inside the group it scans and must not list itself.
    const scan_result inside = scan_from(pair_of(job), job.procs_fd);
    const std::vector<pid_t> live = sorted(
        {tree[0], tree[1], tree[2], with_zombie[0], foreign_user[0], below[0], setuid_like[0]});
    EXPECT_EQ(sorted(inside.pids), live);
    // One process at a time, by the same rule.
    for (const pid_t pid : {tree[0], below[0], elsewhere[0], setuid_like[0]})
        EXPECT_EQ(is_users_process(pid), 1) << pid;
    EXPECT_EQ(is_users_process(foreign_user[0]), 0);
    int count = 0;
    EXPECT_EQ(sorted(scan(pair_of(other), count)), sorted(elsewhere));
    // The other user, who can't open a group by its handle, searches for it
    // and sees the same.
    for (const bool older : {false, true}) {
        const scan_result as_other =
            scan_from(pair_of(job), -1, unprivileged, older ? as_older_kernel : nullptr);
        EXPECT_EQ(sorted(as_other.pids), live) << (older ? "on an older kernel" : "");
    }
}

TEST(CoalitionLinux, TargetsThatNoLiveProcessCarriesListNobody)
{
    SKIP_WITHOUT_CGROUPS();
    test_cgroup job("job"), empty("empty");
    ASSERT_TRUE(job.ok() && empty.ok());
    ASSERT_EQ(start_helper(job, {"tree", "1"}, 2).size(), 2u);
    const coalition_ids targets[] = {
        pair_of(empty),
        {0, 0},
        {job.id, 0},
        {job.id, empty.id},
        {job.id + 1000000, job.id + 1000000},
    };
    for (const coalition_ids &target : targets) {
        int count = -1;
        scan(target, count);
        EXPECT_EQ(count, 0) << target.resource << "," << target.jetsam;
    }
    // A group that holds nobody but the caller has no member either.
    EXPECT_EQ(scan_from(pair_of(empty), empty.procs_fd).count, 0);
}

// Groups nested below the test's own group, removed deepest first.
struct group_chain {
    std::vector<std::unique_ptr<test_cgroup>> groups;

    group_chain(const test_cgroup &top, const std::vector<std::string> &names)
    {
        for (const std::string &name : names)
            groups.push_back(std::make_unique<test_cgroup>(
                groups.empty() ? top : *groups.back(), name));
    }
    ~group_chain()
    {
        while (!groups.empty())
            groups.pop_back();
    }
    bool ok() const { return !groups.empty() && groups.back()->ok(); }
};

// Only a privileged caller opens a group by its handle; any other searches
// the tree, and must find a group of any name, or fail where it can't look.
// What it can't search beside the job (another user's unreadable or too deep
// groups) must not keep it from finding the job: the names "blind" and
// "deep" come before "job" in the order the kernel lists a directory.
TEST(CoalitionLinux, TheGroupIsFoundWhateverItsNameOrFailsTheScanWhereTooDeep)
{
    SKIP_WITHOUT_CGROUPS();
    std::vector<std::string> deep(66, "d");
    std::vector<std::string> deep_beside{"deep"};
    deep_beside.insert(deep_beside.end(), deep.begin(), deep.end());
    struct search_case {
        const char *name;
        std::vector<std::string> below;  // groups from the test's group down to the job's
        std::vector<std::string> beside; // a chain beside them, in the test's group
        mode_t beside_mode;
        uid_t as;
        int expected;
    };
    const search_case cases[] = {
        {"named .hidden", {".hidden"}, {}, 0, unprivileged, 1},
        {"below a dot-named parent", {".parent", "job"}, {}, 0, unprivileged, 1},
        {"deeper than the search goes", deep, {}, 0, unprivileged, -1},
        {"as deep, opened by its handle", deep, {}, 0, 0, 1},
        {"past a group it may not read", {"job"}, {"blind"}, 0700, unprivileged, 1},
        {"past groups too deep", {"job"}, deep_beside, 0755, unprivileged, 1},
    };
    for (const search_case &c : cases) {
        SCOPED_TRACE(c.name);
        test_cgroup top("search");
        group_chain chain(top, c.below);
        group_chain beside(top, c.beside);
        ASSERT_TRUE(top.ok() && chain.ok() && (c.beside.empty() || beside.ok()));
        if (!c.beside.empty()) {
            ASSERT_EQ(chmod(beside.groups.front()->path.c_str(), c.beside_mode), 0);
        }
        const test_cgroup &job = *chain.groups.back();
        const std::vector<pid_t> member =
            start_helper(job, {"as", std::to_string(c.as), "tree", "0"}, 1);
        ASSERT_EQ(member.size(), 1u);
        const scan_result result = scan_from(pair_of(job), -1, c.as);
        EXPECT_EQ(result.count, c.expected);
        if (result.count == 1) {
            EXPECT_EQ(result.pids[0], member[0]);
        }
    }
}

// Where the caller can't see all there is, a group that holds processes it
// can't name, or one it can't find, fails the scan: in a pid namespace of
// its own the group lists the job's processes as 0; in a cgroup namespace of
// its own, with the hierarchy mounted afresh, a search sees only the
// namespace's subtree (a privileged caller still opens the group by handle).
TEST(CoalitionLinux, ScanFromANamespaceThatHidesTheJobFails)
{
    SKIP_WITHOUT_CGROUPS();
    test_cgroup job("job"), scanner("scanner");
    ASSERT_TRUE(job.ok() && scanner.ok());
    ASSERT_EQ(start_helper(job, {"tree", "0"}, 1).size(), 1u);
    const std::string mount_point = cgroup2_mount();
    // The scan runs in pid 1 of the new namespace; its parent passes on how
    // it ended.
    const auto own_pid_namespace = [] {
        if (unshare(CLONE_NEWPID) != 0)
            return false;
        const pid_t inner = fork();
        if (inner <= 0)
            return inner == 0;
        int status = 0;
        waitpid(inner, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    };
    const auto own_cgroup_namespace = [&] {
        return unshare(CLONE_NEWCGROUP | CLONE_NEWNS) == 0 &&
               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               umount2(mount_point.c_str(), MNT_DETACH) == 0 &&
               mount("none", mount_point.c_str(), "cgroup2", 0, nullptr) == 0;
    };
    EXPECT_EQ(scan_from(pair_of(job), -1, 0, own_pid_namespace).count, -1);
    EXPECT_EQ(scan_from(pair_of(job), scanner.procs_fd, unprivileged, own_cgroup_namespace).count, -1);
    EXPECT_EQ(scan_from(pair_of(job), scanner.procs_fd, 0, own_cgroup_namespace).count, 1);
}

TEST(CoalitionLinux, ProcessWhoseMainThreadExitedIsListedAndKillable)
{
    SKIP_WITHOUT_CGROUPS();
    test_cgroup job("job");
    ASSERT_TRUE(job.ok());
    const std::vector<pid_t> pids = start_helper(job, {"leader-exit"}, 1);
    ASSERT_EQ(pids.size(), 1u);
    const pid_t pid = pids[0];
    // Looks like a zombie from the outside, with a thread still running.
    ASSERT_TRUE(wait_until([&] { return status_field(pid, "State").rfind("Z", 0) == 0; }, 10s));
    ASSERT_EQ(status_field(pid, "Threads"), "2");

    int count = 0;
    EXPECT_EQ(scan(pair_of(job), count), std::vector<pid_t>{pid});
    ASSERT_EQ(checked_signal(pid, pair_of(job), SIGKILL), 1);
    const std::optional<int> status = wait_exit(pid, 10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
}

TEST(CoalitionLinux, NonDumpableProcessOfTheUserIsListed)
{
    SKIP_WITHOUT_CGROUPS();
    test_cgroup job("job");
    ASSERT_TRUE(job.ok());
    const std::vector<pid_t> pids =
        start_helper(job, {"as", std::to_string(unprivileged), "nondumpable"}, 1);
    ASSERT_EQ(pids.size(), 1u);
    // The trap the scan must avoid: the process's files now belong to root.
    struct stat st;
    ASSERT_EQ(stat(("/proc/" + std::to_string(pids[0]) + "/status").c_str(), &st), 0);
    ASSERT_EQ(st.st_uid, 0u);

    const scan_result result = scan_from(pair_of(job), -1, unprivileged);
    ASSERT_EQ(result.count, 1);
    EXPECT_EQ(result.pids[0], pids[0]);
}

// Behind hidepid the user can't see its own non-dumpable process in /proc: a
// scan that took it for gone would report none left. Its pidfd tells whose it
// is; on a kernel whose pidfds can't, the scan fails instead.
TEST(CoalitionLinux, AProcessThatProcHidesIsStillListedOrTheScanFails)
{
    SKIP_WITHOUT_CGROUPS();
    test_cgroup job("job");
    ASSERT_TRUE(job.ok());
    ASSERT_EQ(start_helper(job, {"as", std::to_string(unprivileged), "nondumpable"}, 1).size(),
              1u);
    struct proc_case {
        const char *options;
        bool older_kernel;
        int expected;
    };
    const proc_case cases[] = {
        {"hidepid=0", false, 1},
        {"hidepid=1", false, 1},
        {"hidepid=invisible", false, 1},
        {"hidepid=1", true, 1},
        {"hidepid=invisible", true, -1},
    };
    for (const proc_case &c : cases) {
        // A /proc of its own, in a mount namespace of its own.
        const auto remount_proc = [&] {
            return unshare(CLONE_NEWNS) == 0 &&
                   mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, c.options) == 0 &&
                   (!c.older_kernel || as_older_kernel());
        };
        EXPECT_EQ(scan_from(pair_of(job), -1, unprivileged, remount_proc).count, c.expected)
            << c.options << (c.older_kernel ? " on an older kernel" : "");
    }
}

// Another file system mounted over the cgroup2 mount point finds no group;
// that must fail the scan, never read as a job that is gone.
TEST(CoalitionLinux, ScanFailsWhereTheHierarchyIsNoCgroup2)
{
    SKIP_WITHOUT_CGROUPS();
    test_cgroup job("job");
    ASSERT_TRUE(job.ok());
    ASSERT_EQ(start_helper(job, {"tree", "0"}, 1).size(), 1u);
    const std::string mount_point = cgroup2_mount();
    const auto cover_hierarchy = [&] {
        return unshare(CLONE_NEWNS) == 0 &&
               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount("tmpfs", mount_point.c_str(), "tmpfs", 0, nullptr) == 0;
    };
    for (const uid_t as : {uid_t{0}, unprivileged})
        EXPECT_EQ(scan_from(pair_of(job), -1, as, cover_hierarchy).count, -1) << "as " << as;
}

TEST(CoalitionLinux, ProcessesVanishingDuringTheScanAreSkippedSilently)
{
    SKIP_WITHOUT_CGROUPS();
    test_cgroup job("job");
    ASSERT_TRUE(job.ok());
    const std::vector<pid_t> pids = start_helper(job, {"churn", "3000"}, 1);
    ASSERT_EQ(pids.size(), 1u);
    testing::internal::CaptureStderr();
    int scans = 0, failures = 0;
    std::optional<int> status;
    // The churn ends the loop; the bound is only for a churn that never does.
    const auto until = std::chrono::steady_clock::now() + 120s;
    while (!(status = wait_exit(pids[0], 0ms)) && std::chrono::steady_clock::now() < until) {
        int count = 0;
        scan(pair_of(job), count);
        failures += count < 0;
        ++scans;
    }
    const std::string diagnostics = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(exit_code(*status), 0);
    EXPECT_EQ(failures, 0) << "of " << scans << " scans";
    EXPECT_EQ(diagnostics, "");
}

// Each link of the chain forks the next and exits at once: a listed link may
// be gone before its owner is asked, its successor not yet listed. Whatever
// a scan meets, a group that still holds the chain must never be called
// empty.
TEST(CoalitionLinux, AForkChainIsNeverCalledEmpty)
{
    SKIP_WITHOUT_CGROUPS();
    test_cgroup job("relay");
    ASSERT_TRUE(job.ok());
    const pid_t relay = start_relay(COALITION_HELPER, job, 1500);
    ASSERT_GT(relay, 0);

    int scans = 0, called_empty = 0, failed = 0;
    const auto until = std::chrono::steady_clock::now() + 1s;
    while (std::chrono::steady_clock::now() < until) {
        int count = 0;
        scan(pair_of(job), count);
        called_empty += count == 0 && job.populated();
        failed += count < 0;
        ++scans;
    }
    const std::optional<int> status = wait_exit(relay, 10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(exit_code(*status), 0);
    EXPECT_EQ(called_empty, 0) << "of " << scans << " scans (" << failed << " failed)";
}

// Run in a child, so that the older kernel's filter stays there: kernels that
// can't name a pidfd's group have the pair read from procfs instead, where a
// top-level group whose name begins with ".." is still inside this process's
// view of the tree.
TEST(CoalitionLinux, CheckedSignalReachesMembersOnly)
{
    SKIP_WITHOUT_CGROUPS();
    struct signal_case {
        const char *name;
        bool older_kernel;
        const char *lead; // before the job group's name
    };
    const signal_case cases[] = {
        {"this kernel", false, ""},
        {"older kernel", true, ""},
        {"this kernel, group named ..*", false, ".."},
        {"older kernel, group named ..*", true, ".."},
    };
    for (const signal_case &c : cases) {
        SCOPED_TRACE(c.name);
        test_cgroup job("job", c.lead), other("other");
        test_cgroup split(job, "split");
        ASSERT_TRUE(job.ok() && other.ok() && split.ok());
        const std::vector<pid_t> member = start_helper(job, {"tree", "0"}, 1);
        const std::vector<pid_t> stranger = start_helper(other, {"tree", "0"}, 1);
        const std::vector<pid_t> below = start_helper(split, {"tree", "0"}, 1);
        // A member all the same, but never the caller's to signal, root as
        // the caller is.
        const std::vector<pid_t> foreign =
            start_helper(job, {"as", std::to_string(unprivileged), "tree", "0"}, 1);
        ASSERT_EQ(member.size() + stranger.size() + below.size() + foreign.size(), 4u);

        const pid_t child = fork();
        if (child == 0) {
            if (c.older_kernel && !as_older_kernel())
                _exit(100);
            const coalition_ids target = pair_of(job);
            coalition_ids seen{};
            if (identity(member[0], &seen) != 1 || !(seen == target))
                _exit(101);
            // Every one of these must be refused.
            const int wrong = checked_signal(stranger[0], target, SIGTERM) +
                              checked_signal(below[0], target, SIGTERM) +
                              checked_signal(foreign[0], target, SIGSTOP) +
                              checked_signal(getpid(), target, SIGTERM) +
                              checked_signal(1, target, 0) + checked_signal(0, target, 0);
            _exit(wrong * 10 + checked_signal(member[0], target, SIGTERM));
        }
        const std::optional<int> verdict = wait_exit(child, 10s);
        ASSERT_TRUE(verdict.has_value());
        EXPECT_EQ(exit_code(*verdict), 1)
            << "tens: refusals that went through; 100: no filter; 101: member's pair unread";
        const std::optional<int> status = wait_exit(member[0], 10s);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
        EXPECT_TRUE(process_alive(stranger[0]));
        EXPECT_TRUE(process_alive(below[0]));
        EXPECT_TRUE(process_alive(foreign[0]));
        EXPECT_NE(status_field(foreign[0], "State").substr(0, 1), "T") << "never stopped";
    }
}

TEST(CoalitionLinux, CheckedSignalCountsAMemberThatAlreadyEndedAsDone)
{
    SKIP_WITHOUT_CGROUPS();
    test_cgroup job("job");
    ASSERT_TRUE(job.ok());
    const std::vector<pid_t> pids = start_helper(job, {"tree", "0"}, 1);
    ASSERT_EQ(pids.size(), 1u);
    kill(pids[0], SIGKILL);
    // Ended, not yet reaped: its pid is still its own.
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pids[0]), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(checked_signal(pids[0], pair_of(job), SIGKILL), 1);
    kill_and_reap(pids[0]);
}

TEST(CoalitionLinux, BootSessionIsTheKernelsBootId)
{
    boot_session_id first{}, second{};
    ASSERT_EQ(read_boot_session(first), 1);
    ASSERT_EQ(read_boot_session(second), 1);
    std::string expected = read_file("/proc/sys/kernel/random/boot_id");
    ASSERT_FALSE(expected.empty());
    expected.pop_back();
    EXPECT_EQ(std::string(first.data()), expected);
    EXPECT_EQ(std::string(second.data()), expected);
}

} // namespace
