// The guard's own logic against a scripted process table: the counting rules
// of the stop and kill rounds, and the failures (a scan that fails, a member
// that can't be killed) that a real machine won't produce on demand. Each
// case runs cmd_guard in a forked child, as the real binary would, so that
// its descriptors, its exit status and its log are the real ones.

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "guard/fake_coalition.h"
#include "guard/guard.h"
#include "guard/launchctl_standin.h"
#include "main/exit_status.h"
#include "support/harness.h"

namespace {

// Fake process IDs lie above pid_max, so they can never name a real process.
constexpr pid_t owner_pid = 900000;
constexpr pid_t first_member = 900100;
constexpr coalition_ids owner_ids{1, 1};
constexpr coalition_ids job_ids{50, 60};
constexpr int standin_exit = 3;

std::string service()
{
    return "gui/" + std::to_string(getuid()) + "/com.marloft.shell.fake";
}

fake_process job_process(pid_t pid)
{
    fake_process p;
    p.pid = pid;
    p.ids = job_ids;
    return p;
}

fake_table job_table(std::vector<fake_process> job)
{
    fake_table table;
    fake_process owner;
    owner.pid = owner_pid;
    owner.ids = owner_ids;
    table.processes.push_back(owner);
    for (const fake_process &p : job)
        table.processes.push_back(p);
    return table;
}

struct outcome {
    int status = -1;
    std::string out;
    std::string err;
    std::string log;
    bool log_created = false;
    std::string trace;
    bool standin = false;    // a stand-in launchctl was in place
    std::string bootout;     // what it recorded, "" if it never ran
};

std::string drain(int fd)
{
    std::string text;
    char buf[4096];
    for (ssize_t got; (got = read(fd, buf, sizeof buf)) != 0;) {
        if (got < 0 && errno != EINTR)
            break;
        if (got > 0)
            text.append(buf, static_cast<size_t>(got));
    }
    return text;
}

// Runs cmd_guard with args after the sub-command word ("LOG" stands for the
// log path), against table. The owner's pipe hangs up at once.
outcome run_guard(const fake_table &table, std::vector<std::string> args)
{
    temp_dir dir;
    outcome result;
    result.standin = launchctl_standin_skip_reason().empty() &&
                     write_launchctl_standin(dir.path, dir / "bootout", standin_exit);
    const int trace_fd = open((dir / "trace").c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    int out[2], err[2], owner[2];
    if (trace_fd < 0 || !open_pipe(out) || !open_pipe(err) || !open_pipe(owner))
        return result;
    for (std::string &a : args)
        if (a == "LOG")
            a = dir / "log";
    args.insert(args.begin(), {"marloft-shell", "guard"});

    const pid_t child = fork();
    if (child == 0) {
        if (result.standin && !use_private_launchctl(dir.path).empty())
            _exit(125);
        fake() = table;
        if (!fake().forge_into.empty())
            fake().forge_into = dir / "log";
        // Above the descriptors about to be replaced.
        fake().trace_fd = fcntl(trace_fd, F_DUPFD_CLOEXEC, 10);
        // Without an exec nothing closes on its own: the write end of the
        // owner's pipe must go, or it would never hang up.
        close(owner[1]);
        close(out[0]);
        close(err[0]);
        dup2(out[1], 1);
        dup2(err[1], 2);
        dup2(owner[0], 3);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        _exit(cmd_guard(static_cast<int>(args.size()), argv.data()));
    }
    close(out[1]);
    close(err[1]);
    close(owner[0]);
    close(owner[1]);
    // Both are short and the guard closes them as it redirects to its log.
    result.out = drain(out[0]);
    result.err = drain(err[0]);
    if (const std::optional<int> status = wait_exit(child, 20s))
        result.status = exit_code(*status);
    else
        kill_and_reap(child);
    close(out[0]);
    close(err[0]);
    close(trace_fd);
    result.log_created = file_exists(dir / "log");
    result.log = read_file(dir / "log");
    result.trace = read_file(dir / "trace");
    result.bootout = read_file(dir / "bootout");
    return result;
}

std::vector<std::string> seven_arguments()
{
    return {std::to_string(owner_pid), std::to_string(first_member), service(), "LOG", "30"};
}

std::string last_line(const std::string &text)
{
    if (text.empty() || text.back() != '\n')
        return {};
    const size_t start = text.rfind('\n', text.size() - 2);
    return text.substr(start == std::string::npos ? 0 : start + 1);
}

int count_of(const std::string &text, const std::string &needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// What booting the fake service out comes to here when no stand-in takes the
// place of /bin/launchctl: without one the exec fails; the platform's own
// finds no such service.
struct plain_bootout {
    int status = -1; // raw wait status
    int lines = 0;   // on its standard output and error together
};

plain_bootout run_plain_bootout()
{
    plain_bootout result;
    int out[2];
    if (!open_pipe(out))
        return result;
    spawn_options options;
    options.fds = {{1, out[1]}, {2, out[1]}};
    const pid_t pid = spawn({"/bin/launchctl", "bootout", service()}, options);
    close(out[1]);
    result.lines = count_of(drain(out[0]), "\n");
    close(out[0]);
    if (const std::optional<int> status = wait_exit(pid, 20s))
        result.status = *status;
    else
        kill_and_reap(pid);
    return result;
}

const plain_bootout &plain()
{
    static const plain_bootout once = run_plain_bootout();
    return once;
}

std::string summary(const char *counts, const outcome &o)
{
    const int bootout = o.standin ? standin_exit << 8 : plain().status;
    return std::string("{") + counts + ",\"reason\":\"owner-pipe-closed\",\"bootoutStatus\":" +
           std::to_string(bootout) + "}\n";
}

fake_process unkillable(pid_t pid)
{
    fake_process p = job_process(pid);
    p.unkillable = true;
    return p;
}

fake_process dies_after(pid_t pid, int kills)
{
    fake_process p = job_process(pid);
    p.kills_to_die = kills;
    return p;
}

fake_process appears_at(pid_t pid, int scan)
{
    fake_process p = job_process(pid);
    p.appears_at_scan = scan;
    return p;
}

struct finished_case {
    const char *name;
    std::vector<fake_process> job;
    int status;
    const char *counts;
    int scans;
};

// A process listed in several rounds counts once per round; the stop phase
// always runs its twelve rounds; the kill phase ends at its first empty scan;
// one more scan follows the bootout, and what it finds goes through the same
// rounds and decides the outcome.
TEST(TeardownFake, CountsPerRoundAndEndsAtTheFirstEmptyScan)
{
    const pid_t m = first_member;
    fake_process stranger = job_process(m + 9);
    stranger.ids = coalition_ids{50, 61};
    fake_process other_users = job_process(m + 1);
    other_users.other_users = true;
    // Scans 0-11 stop m, 12 kills it, 13 is empty, 14 follows the bootout.
    fake_process during_bootout = unkillable(m + 1);
    during_bootout.appears_at_scan = 14;
    const std::vector<finished_case> cases = {
        {"already empty", {}, exit_ok,
         "\"cleaned\":true,\"stopped\":0,\"killed\":0,\"remaining\":0", 14},
        {"three members", {job_process(m), job_process(m + 1), job_process(m + 2)}, exit_ok,
         "\"cleaned\":true,\"stopped\":36,\"killed\":3,\"remaining\":0", 15},
        {"one member takes three kills", {dies_after(m, 3)}, exit_ok,
         "\"cleaned\":true,\"stopped\":12,\"killed\":3,\"remaining\":0", 17},
        {"a member starts during the stop rounds", {job_process(m), appears_at(m + 1, 5)}, exit_ok,
         "\"cleaned\":true,\"stopped\":19,\"killed\":2,\"remaining\":0", 15},
        {"another pair is never touched", {job_process(m), stranger}, exit_ok,
         "\"cleaned\":true,\"stopped\":12,\"killed\":1,\"remaining\":0", 15},
        {"a member that can't be killed", {unkillable(m), job_process(m + 1)}, exit_guard_remaining,
         "\"cleaned\":false,\"stopped\":36,\"killed\":1,\"remaining\":1", 85},
        {"another user's member is counted, never signalled", {job_process(m), other_users},
         exit_guard_remaining, "\"cleaned\":false,\"stopped\":12,\"killed\":1,\"remaining\":1",
         85},
        {"a member that can't be killed starts during the bootout", {job_process(m), during_bootout},
         exit_guard_remaining, "\"cleaned\":false,\"stopped\":24,\"killed\":1,\"remaining\":1",
         57},
    };
    for (const finished_case &c : cases) {
        SCOPED_TRACE(c.name);
        // An empty job has no member to name: the pair is given instead.
        std::vector<std::string> args = seven_arguments();
        if (c.job.empty()) {
            args[1] = "0";
            args.insert(args.end(), {"50", "60", "fake-boot-1"});
        }
        const outcome o = run_guard(job_table(c.job), args);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(last_line(o.log), summary(c.counts, o));
        EXPECT_EQ(count_of(o.trace, "members "), c.scans);
        EXPECT_EQ(count_of(o.trace, "signal " + std::to_string(m + 9)), 0);
        for (const fake_process &p : c.job) {
            if (p.other_users) {
                EXPECT_EQ(count_of(o.trace, "signal " + std::to_string(p.pid)), 0);
            }
        }
        EXPECT_EQ(count_of(o.trace, "sig=18\n"), 0) << "nothing is ever continued";
        if (o.standin) {
            EXPECT_EQ(o.bootout, "bootout\n" + service() + "\nfd3=closed\n");
        }
    }
}

// A job that can reach the log can write into it, but never after the
// guard's summary: the last line stays the guard's.
TEST(TeardownFake, WhatTheJobWritesIntoTheLogNeverFollowsTheSummary)
{
    fake_table table = job_table({job_process(first_member)});
    table.forge_into = "LOG";
    const outcome o = run_guard(table, seven_arguments());
    EXPECT_EQ(o.status, exit_ok);
    EXPECT_NE(o.log.find("\"forged\""), std::string::npos) << "the forgery was written";
    EXPECT_EQ(last_line(o.log),
              summary("\"cleaned\":true,\"stopped\":12,\"killed\":1,\"remaining\":0", o));
}

struct failed_case {
    const char *name;
    int failing_scan;
    int status;
    int stops;
    int kills;
};

// A failed scan ends the guard on the spot: the scan's message is all the log
// holds, nothing is booted out, and what was stopped stays stopped.
TEST(TeardownFake, FailedScanEndsTheGuardWithoutBootoutOrSummary)
{
    const std::vector<failed_case> cases = {
        {"first stop round", 0, exit_guard_stop_scan, 0, 0},
        {"fifth stop round", 4, exit_guard_stop_scan, 4, 0},
        {"first kill round", 12, exit_guard_kill_scan, 12, 0},
        {"second kill round", 13, exit_guard_kill_scan, 12, 1},
    };
    for (const failed_case &c : cases) {
        SCOPED_TRACE(c.name);
        fake_table table = job_table({dies_after(first_member, 2)});
        table.failing_scan = c.failing_scan;
        const outcome o = run_guard(table, seven_arguments());
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.log, "bsd metadata unavailable pid=4242 errno=5\n");
        EXPECT_EQ(count_of(o.trace, "members "), c.failing_scan + 1);
        EXPECT_EQ(count_of(o.trace, "sig=19\n"), c.stops);
        EXPECT_EQ(count_of(o.trace, "sig=9\n"), c.kills);
        EXPECT_EQ(count_of(o.trace, "sig=18\n"), 0);
        EXPECT_EQ(o.bootout, "");
    }
}

TEST(TeardownFake, ReadyLineShowsTheGivenPairAndTheBootSession)
{
    const std::vector<std::string> args = {std::to_string(owner_pid), "0", service(), "LOG", "30",
                                           "18446744073709551615", "1", "fake-boot-1"};
    const outcome o = run_guard(job_table({}), args);
    EXPECT_EQ(o.status, exit_ok);
    const std::string ready_pid = o.out.substr(0, o.out.find(",\"resource\""));
    EXPECT_EQ(o.out.substr(ready_pid.size()),
              ",\"resource\":\"18446744073709551615\",\"jetsam\":\"1\",\"boot\":\"fake-boot-1\"}\n");
    EXPECT_EQ(ready_pid.rfind("{\"ready\":true,\"guardianPid\":", 0), 0u);
    EXPECT_EQ(o.err, "");
    // launchctl's lines, then the summary on a line of its own, a blank
    // line between them: the log ends in a newline nobody can read back.
    const int lines = o.standin ? 2 : plain().lines;
    EXPECT_EQ(count_of(o.log, "\n"), lines == 0 ? 1 : lines + 2);
}

struct admission_case {
    const char *name;
    std::vector<std::string> args;
    std::string boot;
    bool fill_boot_buffer;
    int status;
    const char *err;
    const char *trace; // the whole trace, or nullptr when not checked
};

TEST(TeardownFake, AdmissionQueriesNothingBeyondWhatItNeeds)
{
    const std::string owner = std::to_string(owner_pid);
    const std::string member = std::to_string(first_member);
    const std::vector<admission_case> cases = {
        {"boot session unreadable", seven_arguments(), "", false, exit_guard_target, "", "boot\n"},
        {"boot session without a terminator", seven_arguments(), "x", true, exit_guard_target, "",
         "boot\n"},
        {"wrong boot session", {owner, member, service(), "LOG", "30", "50", "60", "other-boot"},
         "fake-boot-1", false, exit_guard_boot_session, "", "boot\n"},
        {"boot session compared whole", {owner, member, service(), "LOG", "30", "50", "60", "fake-boot"},
         "fake-boot-1", false, exit_guard_boot_session, "", "boot\n"},
        // atoi would wrap this to 2; clamped, it names no process.
        {"owner pid past the int range", {"4294967298", member, service(), "LOG", "30"}, "fake-boot-1",
         false, exit_guard_target, "refusing ambiguous coalition\n",
         "boot\nidentity 900100\nusers 900100\nidentity 2147483647\n"},
        // The member comparison comes before the refusal of the zero ID.
        {"live member of another pair, zero ID", {owner, member, service(), "LOG", "30", "0", "60",
         "fake-boot-1"}, "fake-boot-1", false, exit_guard_target, "", "boot\nidentity 900100\n"},
        {"member gone, given IDs stand", {owner, "900999", service(), "LOG", "30", "50", "60",
         "fake-boot-1"}, "fake-boot-1", false, exit_ok, "", nullptr},
    };
    for (const admission_case &c : cases) {
        SCOPED_TRACE(c.name);
        fake_table table = job_table({job_process(first_member)});
        table.boot = c.boot;
        table.fill_boot_buffer = c.fill_boot_buffer;
        const outcome o = run_guard(table, c.args);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.err, c.err);
        // Before anything is asked, the guard is closed to debuggers and
        // holds nothing above the owner's pipe.
        if (c.trace != nullptr) {
            EXPECT_EQ(o.trace, std::string("refuse-debuggers\nclose-from 4\n") + c.trace);
        }
        if (c.status != exit_ok) {
            EXPECT_EQ(o.out, "");
            EXPECT_FALSE(o.log_created);
        }
    }
}

// Its own user's processes are all a guard can ever take down: vouching for
// another user's job would call it cleaned while it runs on.
TEST(TeardownFake, AMemberOfAnotherUserIsRefusedWithoutAWord)
{
    const std::string owner = std::to_string(owner_pid);
    const std::string member = std::to_string(first_member);
    const std::vector<std::vector<std::string>> forms = {
        seven_arguments(),
        {owner, member, service(), "LOG", "30", "50", "60", "fake-boot-1"},
    };
    for (const auto &args : forms) {
        SCOPED_TRACE(args.size());
        fake_process stranger = job_process(first_member);
        stranger.other_users = true;
        const outcome o = run_guard(job_table({stranger}), args);
        EXPECT_EQ(o.status, exit_guard_target);
        EXPECT_EQ(o.out + o.err, "");
        EXPECT_FALSE(o.log_created);
        EXPECT_EQ(count_of(o.trace, "signal "), 0);
    }
}

TEST(TeardownFake, GuardThatCannotReadItsOwnPairRefuses)
{
    fake_table table = job_table({job_process(first_member)});
    table.guard_ids = coalition_ids{0, 2};
    const outcome o = run_guard(table, seven_arguments());
    EXPECT_EQ(o.status, exit_guard_target);
    EXPECT_EQ(o.err, "refusing ambiguous coalition\n");
    EXPECT_EQ(count_of(o.trace, "members "), 0);
}

} // namespace
