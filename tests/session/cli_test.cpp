// marloft-session end to end: real sessions of real jobs, each checked for
// what it printed, how it ended, and that nothing of it is left: no process
// the job started, no group below the sessions' parent group, no work
// directory.

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <jansson.h>

#include "support/cgroup.h"
#include "support/harness.h"

namespace {

const std::string cli = MARLOFT_SESSION_BIN;

run_result session(const std::vector<std::string> &args, std::chrono::milliseconds timeout = 60s)
{
    return run_program(cli, args, timeout);
}

// The command, first saying where its session put it: its group and its
// work directory, which must both be gone once the session is over.
std::string traced(const std::string &command)
{
    return "echo \"group=$(sed -n 's/^0:://p' /proc/self/cgroup)\"; echo \"dir=${PWD%/job}\"; " + command;
}

std::string traced_value(const std::string &text, const std::string &key)
{
    const size_t at = text.find(key + "=");
    if (at == std::string::npos)
        return {};
    const size_t start = at + key.size() + 1;
    return text.substr(start, text.find('\n', start) - start);
}

std::vector<pid_t> pids_in(const std::string &text)
{
    std::vector<pid_t> pids;
    size_t at = 0;
    while ((at = text.find("pid=", at)) != std::string::npos) {
        at += 4;
        pids.push_back(static_cast<pid_t>(std::stol(text.substr(at))));
    }
    return pids;
}

bool one_line(const std::string &text)
{
    return !text.empty() && text.find('\n') == text.size() - 1;
}

#define SKIP_WITHOUT_SESSIONS()                                            \
    do {                                                                   \
        SKIP_WITHOUT_CGROUPS();                                            \
        if (access(SSH_AGENT, X_OK) != 0)                                  \
            GTEST_SKIP() << "needs " SSH_AGENT " as a real daemon";        \
    } while (0)

void expect_nothing_left(const run_result &result)
{
    for (const pid_t pid : pids_in(result.out))
        EXPECT_FALSE(process_alive(pid)) << "process " << pid << " survived: " << result.out;
    const std::string group = traced_value(result.out, "group");
    const std::string dir = traced_value(result.out, "dir");
    EXPECT_TRUE(group.rfind("/" SESSION_PARENT_GROUP "/", 0) == 0) << result.out;
    EXPECT_FALSE(file_exists(cgroup2_mount() + group)) << group << " is left";
    EXPECT_FALSE(dir.empty() || file_exists(dir)) << "the work directory " << dir << " is left";
}

TEST(SessionCli, HandsOnTheCommandsOutputAndStatus)
{
    SKIP_WITHOUT_SESSIONS();
    struct {
        const char *command;
        int status;
        const char *out;
        const char *err;
    } const cases[] = {
        {"echo out; echo err >&2", 0, "out\n", "err\n"},
        {"printf partial; exit 3", 3, "partial", ""},
        {"kill -TERM $$", 128 + SIGTERM, "", ""},
        {"id -un; (: < /dev/tty) 2>/dev/null || echo no-terminal", 0, "nobody\nno-terminal\n", ""},
    };
    for (const auto &c : cases) {
        const run_result result = session({"-t", "30", c.command});
        EXPECT_EQ(result.status, c.status) << c.command << "\n" << result.err;
        EXPECT_EQ(result.out, c.out) << c.command;
        EXPECT_EQ(result.err, c.err) << c.command;
    }
}

// Strays of every kind a shell command leaves: a background child, an
// orphan, one in a session of its own, one that ignores SIGTERM and SIGHUP,
// and a daemon that double-forks away.
TEST(SessionCli, NothingTheJobStartedSurvives)
{
    SKIP_WITHOUT_SESSIONS();
    const std::string command =
        "sleep 600 & echo pid=$!; "
        "(sleep 600 & echo pid=$!); "
        "setsid sleep 600 & echo pid=$!; "
        "(trap '' TERM HUP; exec sleep 600) & echo pid=$!; "
        "eval \"$(" SSH_AGENT " -s -a \"$PWD/agent\")\" > /dev/null && echo pid=$SSH_AGENT_PID; "
        "kill -0 $SSH_AGENT_PID && echo daemon";
    const run_result result = session({"-t", "30", traced(command)});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(pids_in(result.out).size(), 5u) << result.out;
    EXPECT_NE(result.out.find("daemon\n"), std::string::npos) << result.out;
    expect_nothing_left(result);
}

// The job may stop or kill its guard, which runs as the job's user; the
// session then ends by the deadline plus its margin, empties the job itself
// and says that it failed.
TEST(SessionCli, AJobThatStopsOrKillsItsGuardFailsTheSessionAndLeavesNothing)
{
    SKIP_WITHOUT_SESSIONS();
    // The guard names the runner, the command's parent, as its member.
    const std::string find_guard =
        "for f in /proc/[0-9]*/cmdline; do mapfile -d '' -t a < $f 2>/dev/null || continue; "
        "[ \"${a[1]}\" = guard ] && [ \"${a[3]}\" = $PPID ] && guard=${f//[^0-9]/}; done; ";
    for (const char *signal : {"STOP", "KILL"}) {
        // What it printed must be in its capture before the guard goes.
        const std::string command = find_guard + "sleep 600 & echo pid=$!; " +
                                    "until grep -q ^pid= stdout; do sleep 0.01; done; kill -" +
                                    signal + " $guard && echo signalled";
        const auto start = std::chrono::steady_clock::now();
        const run_result result = session({"-t", "2", traced(command)});
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(result.status, 125) << signal << ": " << result.err;
        // A killed guard ends the session at once, maybe before the echo.
        if (std::string(signal) == "STOP") {
            EXPECT_NE(result.out.find("signalled\n"), std::string::npos) << result.out;
        }
        EXPECT_EQ(pids_in(result.out).size(), 1u) << result.out;
        EXPECT_TRUE(one_line(result.err)) << result.err;
        EXPECT_NE(result.err.find("guard"), std::string::npos) << result.err;
        EXPECT_LT(took, 2s + 10s + 10s) << signal;
        expect_nothing_left(result);
    }
}

TEST(SessionCli, TheDeadlineEndsACommandThatOutlivesIt)
{
    SKIP_WITHOUT_SESSIONS();
    const run_result result = session({"-t", "1", traced("echo pid=$$; exec sleep 600")});
    EXPECT_EQ(result.status, 124) << result.err;
    expect_nothing_left(result);
}

TEST(SessionCli, OutputPastItsBudgetIsCutAndSaidSo)
{
    SKIP_WITHOUT_SESSIONS();
    const run_result result = session({"-t", "30", "head -c 100000 /dev/zero | tr '\\0' x"});
    EXPECT_EQ(result.status, 0);
    EXPECT_GT(result.out.size(), 0u);
    EXPECT_LE(result.out.size(), 65536u);
    EXPECT_TRUE(one_line(result.err)) << result.err;
    EXPECT_NE(result.err.find("64 KiB"), std::string::npos) << result.err;
}

TEST(SessionCli, JsonIsOneLineThatCarriesAnyOutput)
{
    SKIP_WITHOUT_SESSIONS();
    const run_result result = session({"--json", "-t", "30", "printf 'a\\377b\\0c'; exit 4"});
    EXPECT_EQ(result.status, 4);
    ASSERT_TRUE(one_line(result.out)) << result.out;
    json_error_t error;
    json_t *root = json_loads(result.out.c_str(), JSON_ALLOW_NUL, &error);
    ASSERT_NE(root, nullptr) << error.text << ": " << result.out;
    const char *status = nullptr, *out = nullptr;
    size_t out_size = 0;
    int exit_status = -1, replaced = 0, job_gone = 0, code = -1;
    EXPECT_EQ(json_unpack(root, "{s:s,s:i,s:s%,s:b,s:b,s:{s:i}}", "status", &status,
                          "exit_status", &exit_status, "stdout", &out, &out_size,
                          "output_replaced", &replaced, "job_gone", &job_gone, "record",
                          "exit_code", &code),
              0)
        << result.out;
    EXPECT_STREQ(status, "ok");
    EXPECT_EQ(exit_status, 4);
    EXPECT_EQ(code, 4);
    EXPECT_TRUE(replaced);
    EXPECT_TRUE(job_gone);
    EXPECT_EQ(std::string(out, out_size), std::string("a\xef\xbf\xbd" "b\0c", 7));
    json_decref(root);
}

TEST(SessionCli, TenSessionsAtOnce)
{
    SKIP_WITHOUT_SESSIONS();
    std::vector<std::thread> threads;
    std::vector<run_result> results(10);
    for (size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            results[i] = session(
                {"-t", "60", traced("sleep 600 & echo pid=$!; echo " + std::to_string(i))});
        });
    for (auto &thread : threads)
        thread.join();
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].status, 0) << i << ": " << results[i].err;
        EXPECT_NE(results[i].out.find("\n" + std::to_string(i) + "\n"), std::string::npos);
        expect_nothing_left(results[i]);
    }
}

// Each refusal is one line and 125, before anything starts.
TEST(SessionCli, BadInputIsRefusedBeforeAnythingStarts)
{
    SKIP_WITHOUT_CGROUPS();
    temp_dir existing;
    const std::string not_a_program = existing / "marloft-shell";
    struct {
        std::vector<std::string> args;
        const char *says;
    } const cases[] = {
        {{}, "no COMMAND"},
        {{"echo", "two"}, "one argument"},
        {{"-t", "0", "true"}, "deadline"},
        {{"-t", "331", "true"}, "deadline"},
        {{"-t", "abc", "true"}, "deadline"},
        {{"-t", "5x", "true"}, "deadline"},
        {{"-t"}, "missing"},
        {{"--frobnicate", "true"}, "unknown option"},
        {{"-u", "no-such-user-of-marloft", "true"}, "no-such-user-of-marloft"},
        {{"-k", existing.path, "true"}, existing.path.c_str()},
    };
    for (const auto &c : cases) {
        const run_result result = session(c.args);
        const std::string row = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(result.status, 125) << row;
        EXPECT_EQ(result.out, "") << row;
        EXPECT_TRUE(one_line(result.err)) << row << ": " << result.err;
        EXPECT_EQ(result.err.rfind("marloft-session: ", 0), 0u) << row << ": " << result.err;
        EXPECT_NE(result.err.find(c.says), std::string::npos) << row << ": " << result.err;
    }
}

// A copy of marloft-session where the caller wants it, with or without a
// marloft-shell beside it.
struct installed_copy {
    temp_dir dir;
    std::string path = dir / "marloft-session";
    explicit installed_copy(const std::string &shell)
    {
        chmod(dir.path.c_str(), 0755);
        run_program("/bin/cp", {cli, path});
        if (!shell.empty())
            run_program("/bin/cp", {"-r", shell, dir / "marloft-shell"});
    }
};

TEST(SessionCli, WhatTheMachineLacksIsRefusedBeforeAnythingStarts)
{
    SKIP_WITHOUT_CGROUPS();
    // A marloft-shell that can't be run: a directory of that name.
    temp_dir odd;
    ASSERT_EQ(mkdir((odd / "marloft-shell").c_str(), 0755), 0);
    installed_copy without_shell(odd / "marloft-shell");
    run_result result = run_program(without_shell.path, {"true"});
    EXPECT_EQ(result.status, 125);
    EXPECT_NE(result.err.find("marloft-shell"), std::string::npos) << result.err;

    installed_copy copy(shell_binary());
    spawn_options as_nobody;
    as_nobody.run_as = std::pair<uid_t, gid_t>{65534, 65534};
    result = run_program(copy.path, {"true"}, 30s, as_nobody);
    EXPECT_EQ(result.status, 125);
    EXPECT_TRUE(one_line(result.err)) << result.err;
    EXPECT_NE(result.err.find("root"), std::string::npos) << result.err;

    // No cgroup2 hierarchy: none is mounted in a mount namespace of its own.
    result = run_program("/usr/bin/unshare",
                 {"--mount", "--propagation", "private", "/bin/sh", "-c",
                  "findmnt -rn -t cgroup2 -o TARGET | while read -r m; do umount -l \"$m\"; done; "
                  "exec \"$0\" true",
                  copy.path});
    EXPECT_EQ(result.status, 125);
    EXPECT_TRUE(one_line(result.err)) << result.err;
    EXPECT_NE(result.err.find("cgroup"), std::string::npos) << result.err;
}

TEST(SessionCli, HelpAndVersionAreForPeople)
{
    run_result result = session({"--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.rfind("Usage: marloft-session ", 0), 0u) << result.out;
    EXPECT_EQ(result.err, "");
    result = session({"--version"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "marloft-session " MARLOFT_VERSION "\n");
}

} // namespace
