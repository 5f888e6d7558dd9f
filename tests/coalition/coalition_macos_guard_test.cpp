// The guard's teardown rounds end to end on the macOS backend: the real
// guard and the real backend against the model's process table, whose kill
// is the only one the test program has. Each case runs cmd_guard in a forked
// child, so that its descriptors, exit status and log are the real ones; the
// child adds to the log how many of the job's processes the model still has
// alive once the guard is done.

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "guard/guard.h"
#include "macos_model.h"
#include "main/exit_status.h"
#include "support/harness.h"

namespace {

using namespace macos_model;

// Above pid_max, so no fake can be taken for a real process.
constexpr pid_t owner = 900000;
constexpr pid_t member = 900100;
constexpr pid_t joiner = 900200;
constexpr uid_t other_user = 502;
constexpr coalition_ids job{50, 60};

struct outcome {
    int status = -1;
    std::string log;
};

// Runs the guard in a child; after it returns, the child runs after (the
// moment past the guard's last scan) and logs the survivors and how often
// watched was sent a signal.
outcome run_guard(const std::function<void()> &after, pid_t watched)
{
    temp_dir dir;
    outcome result;
    int owner_pipe[2];
    if (!open_pipe(owner_pipe))
        return result;
    const std::string log = dir / "log";
    const std::string service = "gui/" + std::to_string(user) + "/com.marloft.shell.model";
    std::vector<std::string> args = {"marloft-shell", "guard", std::to_string(owner),
                                     std::to_string(member), service, log, "30"};
    const pid_t child = fork();
    if (child == 0) {
        // The owner lets go at once.
        close(owner_pipe[1]);
        dup2(owner_pipe[0], 3);
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int status = cmd_guard(static_cast<int>(args.size()), argv.data());
        if (after)
            after();
        const auto signals = std::count_if(model().calls.begin(), model().calls.end(), [&](const call &c) {
            return c.kind == call_kind::kill && c.pid == watched;
        });
        // Standard output is the guard's log by now.
        dprintf(1, "survivors %d signals %d\n", live_in(job), static_cast<int>(signals));
        _exit(status);
    }
    close(owner_pipe[0]);
    close(owner_pipe[1]);
    if (const std::optional<int> status = wait_exit(child, 20s))
        result.status = exit_code(*status);
    else
        kill_and_reap(child);
    result.log = read_file(log);
    return result;
}

struct summary {
    bool found = false;
    bool cleaned = false;
    int stopped = -1, killed = -1, remaining = -1;
};

summary read_summary(const std::string &log)
{
    summary s;
    const size_t at = log.find('{');
    char cleaned[6] = "";
    s.found = at != std::string::npos &&
              sscanf(log.c_str() + at, "{\"cleaned\":%5[a-z],\"stopped\":%d,\"killed\":%d,\"remaining\":%d",
                     cleaned, &s.stopped, &s.killed, &s.remaining) == 4;
    s.cleaned = std::string(cleaned) == "true";
    return s;
}

// A hook that makes pid exec a setuid-root program just before its n-th query.
std::function<void(table &, const call &)> exec_at_query(pid_t pid, int n)
{
    return [pid, n, seen = 0](table &t, const call &c) mutable {
        if (c.kind == call_kind::pidinfo && c.pid == pid && ++seen == n)
            exec_setuid_root(t.processes[pid]);
    };
}

// A hook that makes the job's newest process fork and end before each of
// its queries, from first on.
std::function<void(table &, const call &)> relay(pid_t first)
{
    return [head = first](table &t, const call &c) mutable {
        if (c.kind == call_kind::pidinfo && c.pid == head) {
            t.processes[head].state = run_state::gone;
            add(++head, job);
        }
    };
}

// launchd starts the job again while the guard boots it out: joiner, set
// up gone, joins the job once a kill round has found it empty, that is at
// the next scan, the one after the bootout, or, for a guard that never
// scans again, once the guard is done.
struct rejoin {
    bool killed = false;
    bool signalled = false;
    bool joined = false;
    bool sizing = false;

    void join_if_empty(table &t)
    {
        if (killed && !signalled && !joined) {
            joined = true;
            t.processes[joiner].state = run_state::running;
        }
    }
};

void join_during_bootout(uid_t uid)
{
    add(joiner, job, uid, uid, uid).state = run_state::gone;
    auto watch = std::make_shared<rejoin>();
    model().hook = [watch](table &t, const call &c) {
        // A scan begins with sizing its listings, in one call or more.
        const bool begins = c.kind == call_kind::list_size && !watch->sizing;
        watch->sizing = c.kind == call_kind::list_size;
        if (c.kind == call_kind::kill) {
            watch->killed = watch->killed || c.what == SIGKILL;
            watch->signalled = true;
        } else if (begins) {
            watch->join_if_empty(t);
            watch->signalled = false;
        }
    };
}

// What the guard left for its next scan happens once it is done.
void join_if_empty()
{
    if (model().hook)
        model().hook(model(), call{call_kind::list_size, 0, 0, 0, 0, nullptr, true, 0});
}

struct teardown_case {
    const char *name;
    std::function<void()> setup;
    int status;
    // The summary's counts, the first two at least; none for a failed scan.
    int stopped, killed, remaining;
    int survivors;
    pid_t untouchable = 0; // a process that no signal may reach
    std::function<void()> after = nullptr;
};

// The kernel ends a killed process some calls after its kill, so how often
// a member is signalled depends on the scan; what is certain is checked.
TEST(CoalitionMacosGuard, TeardownRoundsAgainstTheModel)
{
    const pid_t second = member + 1;
    const teardown_case cases[] = {
        {"plain job", [] { add(member, job); add(member + 1, job); }, exit_ok, 24, 2, 0, 0},
        {"member running a setuid-root program",
         [] { add(member, job); add(member + 1, job, user, 0, 0); }, exit_ok, 24, 2, 0, 0},
        {"member execs a setuid-root program mid-teardown",
         [] { add(member, job); add(member + 1, job); model().hook = exec_at_query(member + 1, 7); },
         exit_ok, 24, 2, 0, 0},
        {"zombie in the job", [] { add(member, job); add(member + 1, job).state = run_state::zombie; },
         exit_ok, 12, 1, 0, 0},
        {"member the user may not signal",
         [] { add(member, job); add(member + 1, job, 0, user, 0); }, exit_guard_remaining, 12, 1, 1,
         1},
        {"member of another user's in all three uids",
         [] { add(member, job); add(member + 1, job, other_user, other_user, other_user); },
         exit_guard_remaining, 12, 1, 1, 1, second},
        {"member of another user's by real and effective uid, saved the user's",
         [] { add(member, job); add(member + 1, job, other_user, other_user, user); }, exit_ok, 12, 2,
         0, 0},
        {"member that outlives the kill rounds",
         [] { add(member, job); model().exit_delay = 1u << 30; }, exit_guard_remaining, 24, 60, 1, 1},
        {"process of the user's joining during the bootout",
         [] { add(member, job); join_during_bootout(user); }, exit_ok, 24, 2, 0, 0, 0, join_if_empty},
        {"process of another user's joining during the bootout",
         [] { add(member, job); join_during_bootout(other_user); }, exit_guard_remaining, 12, 1, 1, 1,
         joiner, join_if_empty},
        {"job that forks and ends under every scan",
         [] { add(member, job); add(member + 1, job); model().hook = relay(member + 1); },
         exit_guard_kill_scan, -1, -1, -1, 1},
    };
    for (const teardown_case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        add(owner, {1, 2});
        c.setup();
        const outcome o = run_guard(c.after, c.untouchable);
        EXPECT_EQ(o.status, c.status);
        const summary s = read_summary(o.log);
        EXPECT_EQ(s.found, c.remaining >= 0) << o.log;
        if (s.found) {
            EXPECT_EQ(s.cleaned, c.status == exit_ok) << o.log;
            EXPECT_GE(s.stopped, c.stopped) << o.log;
            EXPECT_GE(s.killed, c.killed) << o.log;
            EXPECT_EQ(s.remaining, c.remaining) << o.log;
            EXPECT_NE(o.log.find("\"reason\":\"owner-pipe-closed\""), std::string::npos) << o.log;
        }
        const std::string tail = "survivors " + std::to_string(c.survivors) + " signals ";
        EXPECT_NE(o.log.find(tail + (c.untouchable != 0 ? "0\n" : "")), std::string::npos) << o.log;
    }
}

} // namespace
