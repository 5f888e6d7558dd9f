// The platform's own backend against the real process table, with nothing
// but POSIX around it, so that the same test runs wherever the product
// ships: on macOS it exercises libproc and sysctl themselves. The test
// process and a child of its own share a coalition, on Linux a fresh cgroup
// of the test's own: the scan of the group a test process sits in by default
// (the root, here) would walk every group on the machine.

#include <cerrno>
#include <csignal>
#include <cstring>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "coalition/coalition.h"
#include "support/platform.h"

namespace {

bool listed(const member_list &list, int count, pid_t pid)
{
    for (int i = 0; i < count; ++i)
        if (list[static_cast<size_t>(i)] == pid)
            return true;
    return false;
}

// A child that waits on a pipe; it ends when the test closes the pipe or
// kills it.
pid_t start_child(int &release)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[1]);
        char byte;
        while (read(fds[0], &byte, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    close(fds[0]);
    release = fds[1];
    return pid;
}

TEST(CoalitionPlatform, OwnPairIsValidAndSharedWithAChild)
{
    in_own_coalition([] {
        coalition_ids own{};
        ASSERT_EQ(identity(getpid(), &own), 1);
        EXPECT_TRUE(is_valid(own));

        int release = -1;
        const pid_t child = start_child(release);
        ASSERT_GT(child, 0);
        coalition_ids theirs{};
        EXPECT_EQ(identity(child, &theirs), 1);
        EXPECT_TRUE(theirs == own);

        member_list list;
        const int count = members(own, list);
        ASSERT_GE(count, 1);
        EXPECT_TRUE(listed(list, count, child));
        EXPECT_FALSE(listed(list, count, getpid())) << "the caller never lists itself";

        close(release);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
    });
}

TEST(CoalitionPlatform, ZombiesAreNotListedAndCheckedSignalReachesOnlyMatches)
{
    in_own_coalition([] {
        coalition_ids own{};
        ASSERT_EQ(identity(getpid(), &own), 1);
        const coalition_ids other{own.resource + 1, own.jetsam + 1};

        int release = -1;
        const pid_t child = start_child(release);
        ASSERT_GT(child, 0);
        EXPECT_EQ(checked_signal(child, other, SIGKILL), 0) << "a pair that does not match";
        EXPECT_EQ(checked_signal(getpid(), own, SIGKILL), 0) << "never the caller";
        EXPECT_EQ(checked_signal(1, own, 0), 0) << "never pid 1";
        EXPECT_EQ(checked_signal(child, own, SIGKILL), 1);

        // Killed but not reaped: a zombie, no longer a member.
        siginfo_t info{};
        ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
        EXPECT_EQ(info.si_status, SIGKILL);
        member_list list;
        const int count = members(own, list);
        ASSERT_GE(count, 0);
        EXPECT_FALSE(listed(list, count, child));

        close(release);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
    });
}

TEST(CoalitionPlatform, BootSessionIsATerminatedNonEmptyString)
{
    boot_session_id first;
    boot_session_id second;
    ASSERT_EQ(read_boot_session(first), 1);
    ASSERT_EQ(read_boot_session(second), 1);
    EXPECT_NE(first[0], '\0');
    ASSERT_NE(memchr(first.data(), '\0', first.size()), nullptr);
    EXPECT_STREQ(first.data(), second.data());
}

} // namespace
