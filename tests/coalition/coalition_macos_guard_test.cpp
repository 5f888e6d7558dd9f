// The guard's teardown rounds end to end on the macOS backend: the real
// guard and the real backend against the model's process table, whose kill
// is the only one the test program has. Each case runs cmd_guard in a forked
// child, so that its descriptors, exit status and log are the real ones; the
// child adds to the log how many of the job's processes the model still has
// alive once the guard is done.

#include <cstdio>
#include <functional>
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
constexpr coalition_ids job{50, 60};

struct outcome {
    int status = -1;
    std::string log;
};

outcome run_guard()
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
        // Standard output is the guard's log by now.
        dprintf(1, "survivors %d\n", live_in(job));
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

struct teardown_case {
    const char *name;
    std::function<void()> setup;
    int status;
    const char *counts; // the summary's counts, "" where there is none
    int survivors;
};

TEST(CoalitionMacosGuard, TeardownRoundsAgainstTheModel)
{
    const teardown_case cases[] = {
        {"plain job", [] { add(member, job); add(member + 1, job); }, exit_ok,
         "\"cleaned\":true,\"stopped\":24,\"killed\":2,\"remaining\":0", 0},
        {"member running a setuid-root program",
         [] { add(member, job); add(member + 1, job, user, 0, 0); }, exit_ok,
         "\"cleaned\":true,\"stopped\":24,\"killed\":2,\"remaining\":0", 0},
        {"member execs a setuid-root program mid-teardown",
         [] { add(member, job); add(member + 1, job); model().hook = exec_at_query(member + 1, 7); },
         exit_ok, "\"cleaned\":true,\"stopped\":24,\"killed\":2,\"remaining\":0", 0},
        {"zombie in the job", [] { add(member, job); add(member + 1, job).state = run_state::zombie; },
         exit_ok, "\"cleaned\":true,\"stopped\":12,\"killed\":1,\"remaining\":0", 0},
        {"member the user may not signal",
         [] { add(member, job); add(member + 1, job, 0, user, 0); }, exit_guard_remaining,
         "\"cleaned\":false,\"stopped\":12,\"killed\":1,\"remaining\":1", 1},
        {"job that forks and ends under every scan",
         [] { add(member, job); add(member + 1, job); model().hook = relay(member + 1); },
         exit_guard_kill_scan, "", 1},
    };
    for (const teardown_case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        add(owner, {1, 2});
        c.setup();
        const outcome o = run_guard();
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.log.find(std::string("{") + c.counts + ",\"reason\":\"owner-pipe-closed\","),
                  c.counts[0] == '\0' ? std::string::npos : o.log.find('{'))
            << o.log;
        EXPECT_NE(o.log.find("survivors " + std::to_string(c.survivors) + "\n"), std::string::npos)
            << o.log;
    }
}

} // namespace
