// The guard binary against real jobs: each job is a fresh cgroup whose first
// process is `marloft-shell run`, and the test process is the owner. The
// guard runs in the test's own cgroup, so it is never inside the job.

#include <cerrno>
#include <csignal>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "coalition/coalition.h"
#include "guard/launchctl_standin.h"
#include "main/exit_status.h"
#include "support/cgroup.h"
#include "support/harness.h"

namespace {

const std::string uid = std::to_string(getuid());
const std::string service = "gui/" + uid + "/com.marloft.shell.test";
const std::regex summary_shape(
    R"re(\{"cleaned":(true|false),"stopped":(\d+),"killed":(\d+),"remaining":(\d+),)re"
    R"re("reason":"(owner-pipe-closed|deadline)","bootoutStatus":(-?\d+)\}\n)re");

std::string boot_session()
{
    boot_session_id boot{};
    return read_boot_session(boot) != 0 ? std::string(boot.data()) : std::string();
}

// Whether every uid of pid is user's: a process started as root to run as
// another user has given up root only then.
bool runs_as(pid_t pid, uid_t user)
{
    const std::string id = std::to_string(user);
    const std::string line = "\nUid:\t" + id + "\t" + id + "\t" + id + "\t" + id + "\n";
    return read_file("/proc/" + std::to_string(pid) + "/status").find(line) != std::string::npos;
}

// A job: a cgroup of its own whose first process is the runner, holding
// back its command until release().
struct job {
    test_cgroup group{"guard"};
    temp_dir dir;
    std::string log = dir / "guard.log";
    pid_t runner = -1;

    explicit job(const std::string &command,
                 std::optional<std::pair<uid_t, gid_t>> as = std::nullopt)
    {
        spawn_options options;
        options.cgroup_procs_fd = group.procs_fd;
        options.run_as = as;
        if (as && chown(dir.path.c_str(), as->first, as->second) != 0)
            return;
        runner = spawn({shell_binary(), "run", dir / "start", dir / "result", dir / "out",
                        dir / "err", command},
                       options);
        // Between fork and exec the runner moves itself into the group, then
        // gives up root: a guard started before then would meet a member of
        // another user.
        if (!wait_until([&] { return population() == 1 && (!as || runs_as(runner, as->first)); },
                        30s))
            ADD_FAILURE() << "the runner never settled in its job";
    }
    ~job() { kill_and_reap(runner); }

    // Lets the command run and waits for its result record.
    bool release()
    {
        write_file(dir / "start", "");
        return wait_until([&] { return file_exists(dir / "result"); }, 15s);
    }
    size_t population() const { return group.procs().size(); }
};

struct guard_process {
    pid_t pid = -1;
    int owner = -1; // the test's end of descriptor 3
    int out = -1;   // the guard's standard output

    ~guard_process()
    {
        if (owner >= 0)
            close(owner);
        if (out >= 0)
            close(out);
        kill_and_reap(pid);
    }
    void let_go()
    {
        close(owner);
        owner = -1;
    }
};

// Starts the guard with the owner's pipe on descriptor 3. prefix runs before
// the binary (a wrapper program and its arguments). A leaked_fd above 3 hands
// the guard a copy of the owner's own end there too, as a careless caller
// would.
void start_guard(guard_process &g, const std::vector<std::string> &args,
                 const std::vector<std::string> &prefix = {}, spawn_options options = {},
                 int leaked_fd = -1)
{
    int owner[2], out[2];
    ASSERT_EQ(pipe2(owner, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    std::vector<std::string> argv = prefix;
    argv.push_back(shell_binary());
    argv.push_back("guard");
    argv.insert(argv.end(), args.begin(), args.end());
    options.fds.insert(options.fds.begin(), {{3, owner[0]}, {1, out[1]}});
    if (leaked_fd > 3)
        options.fds.push_back({leaked_fd, owner[1]});
    g.pid = spawn(argv, options);
    close(owner[0]);
    close(out[1]);
    g.owner = owner[1];
    g.out = out[0];
}

std::string read_line(int fd)
{
    std::string line;
    char c;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 30'000) <= 0 || read(fd, &c, 1) != 1)
            return line;
        line += c;
        if (c == '\n')
            return line;
    }
}

std::vector<std::string> arguments(const job &j, pid_t member, const std::string &deadline = "30")
{
    return {std::to_string(getpid()), std::to_string(member), service, j.log, deadline};
}

struct summary {
    bool cleaned = false;
    int stopped = -1;
    int killed = -1;
    int remaining = -1;
    std::string reason;
    int bootout = 0;
};

// The log's last line, parsed; fails the test if it is not a summary.
summary last_summary(const std::string &log)
{
    const size_t start = log.size() < 2 ? std::string::npos : log.rfind('\n', log.size() - 2);
    const std::string last = log.substr(start == std::string::npos ? 0 : start + 1);
    std::smatch m;
    summary s;
    EXPECT_TRUE(std::regex_match(last, m, summary_shape)) << "log: " << log;
    if (m.empty())
        return s;
    s.cleaned = m[1] == "true";
    s.stopped = std::stoi(m[2]);
    s.killed = std::stoi(m[3]);
    s.remaining = std::stoi(m[4]);
    s.reason = m[5];
    s.bootout = std::stoi(m[6]);
    return s;
}

// Reaps what the job left to us (its runner, orphans reparented to the test
// process) and tells whether the job's cgroup is empty. Kills nothing.
bool job_ended(job &j)
{
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    return !j.group.populated();
}

bool job_emptied(job &j)
{
    return wait_until([&] { return job_ended(j); }, 30s);
}

// Checks that the guard emptied what it watched. SIGKILL is final, but a
// loaded machine need not let the killed processes exit within the guard's
// 30 kill rounds of 10 ms; the guard then rightly ends with status 8 and
// counts them as remaining. They must then end with nothing more sent, which
// tells a slow death from a process the guard missed: gone says whether they
// have.
void expect_emptied(int status, const summary &s, const std::function<bool()> &gone)
{
    if (status == exit_guard_remaining && !s.cleaned && s.remaining > 0) {
        EXPECT_TRUE(wait_until(gone, 30s)) << s.remaining << " remaining never ended";
        return;
    }
    EXPECT_EQ(status, exit_ok);
    EXPECT_TRUE(s.cleaned);
    EXPECT_EQ(s.remaining, 0);
}

// One whole session: the job's command runs, the guard watches, the owner
// lets go; the guard's raw wait status once it has ended.
std::optional<int> run_session(job &j, size_t population, const std::vector<std::string> &prefix,
                               const spawn_options &options = {})
{
    guard_process g;
    start_guard(g, arguments(j, j.runner), prefix, options);
    EXPECT_EQ(read_line(g.out).rfind("{\"ready\":true,", 0), 0u);
    EXPECT_TRUE(j.release());
    EXPECT_TRUE(wait_until([&] { return j.population() >= population; }, 15s))
        << "the job reached " << j.population() << " of " << population << " processes";
    g.let_go();
    const std::optional<int> status = wait_exit(g.pid, 60s);
    EXPECT_TRUE(status.has_value());
    g.pid = -1;
    return status;
}

// The same, returning the summary once it has checked that the guard emptied
// the job.
summary guarded_session(job &j, size_t population, const std::vector<std::string> &prefix = {})
{
    const std::optional<int> status = run_session(j, population, prefix);
    const summary s = last_summary(read_file(j.log));
    if (status)
        expect_emptied(exit_code(*status), s, [&] { return job_ended(j); });
    EXPECT_TRUE(job_emptied(j)) << "left in the job: " << j.population() << " processes";
    return s;
}

#define SKIP_WITHOUT_JOBS()                                                    \
    do {                                                                       \
        SKIP_WITHOUT_CGROUPS();                                                \
        if (boot_session().empty())                                            \
            GTEST_SKIP() << "no boot session identifier on this machine";      \
    } while (0)

// ---------------------------------------------------------------- admission

struct admission_case {
    const char *name;
    // Placeholders: OWNER (the test), MEMBER (the job's runner), SELF (a
    // process in the guard's own group), THIRD (one in a third group), DEAD
    // (a pid no process has), LOG, ID (the job's coalition ID), ID+1, ROOT
    // (the hierarchy's root group), BOOT (this boot session).
    std::vector<std::string> args;
    int status;
    bool refusal_message;
};

std::vector<admission_case> admission_cases()
{
    const std::string s = service;
    return {
        {"no arguments", {}, exit_guard_arguments, false},
        {"six arguments", {"OWNER", "MEMBER", s, "LOG"}, exit_guard_arguments, false},
        {"eight arguments", {"OWNER", "MEMBER", s, "LOG", "30", "ID"}, exit_guard_arguments, false},
        {"nine arguments", {"OWNER", "MEMBER", s, "LOG", "30", "ID", "ID"}, exit_guard_arguments, false},
        {"eleven arguments", {"OWNER", "MEMBER", s, "LOG", "30", "ID", "ID", "BOOT", "x"},
         exit_guard_arguments, false},
        {"owner pid 1", {"1", "MEMBER", s, "LOG", "30"}, exit_guard_arguments, false},
        {"owner pid 0", {"0", "MEMBER", s, "LOG", "30"}, exit_guard_arguments, false},
        {"owner pid without digits", {"owner", "MEMBER", s, "LOG", "30"}, exit_guard_arguments, false},
        {"another user's domain", {"OWNER", "MEMBER", "gui/" + std::to_string(getuid() + 1) +
         "/com.marloft.shell.test", "LOG", "30"}, exit_guard_arguments, false},
        {"label without the prefix", {"OWNER", "MEMBER", "gui/" + uid + "/com.other.test", "LOG", "30"},
         exit_guard_arguments, false},
        {"prefix cut short", {"OWNER", "MEMBER", "gui/" + uid + "/com.marloft.shell", "LOG", "30"},
         exit_guard_arguments, false},
        {"deadline 0", {"OWNER", "MEMBER", s, "LOG", "0"}, exit_guard_arguments, false},
        {"deadline 331", {"OWNER", "MEMBER", s, "LOG", "331"}, exit_guard_arguments, false},
        {"deadline without digits", {"OWNER", "MEMBER", s, "LOG", "soon"}, exit_guard_arguments, false},
        // Wrapped to an int this would read 1.
        {"deadline past the int range", {"OWNER", "MEMBER", s, "LOG", "4294967297"},
         exit_guard_arguments, false},
        {"deadline 330", {"OWNER", "MEMBER", s, "LOG", "330"}, exit_ok, false},
        {"deadline with spaces and trailing text", {"OWNER", "MEMBER", s, "LOG", " +30s"}, exit_ok, false},
        {"bare prefix as the target", {"OWNER", "MEMBER", "gui/" + uid + "/com.marloft.shell.", "LOG",
         "30"}, exit_ok, false},
        {"wrong boot session", {"OWNER", "MEMBER", s, "LOG", "30", "ID", "ID", "BOOT-not"},
         exit_guard_boot_session, false},
        {"member 0, resource ID 0", {"OWNER", "0", s, "LOG", "30", "0", "ID", "BOOT"}, exit_guard_target,
         true},
        {"member 0, jetsam ID without digits", {"OWNER", "0", s, "LOG", "30", "ID", "none", "BOOT"},
         exit_guard_target, true},
        {"live member of another pair", {"OWNER", "MEMBER", s, "LOG", "30", "0", "ID", "BOOT"},
         exit_guard_target, false},
        {"member gone, given pair stands", {"OWNER", "DEAD", s, "LOG", "30", "ID", "ID", "BOOT"}, exit_ok,
         false},
        {"member matches the given pair", {"OWNER", "MEMBER", s, "LOG", "30", "ID", "ID", "BOOT"}, exit_ok,
         false},
        // Guard and owner apart from it, so that neither's own pair is what
        // refuses it: the root holds every process nobody placed elsewhere.
        {"the hierarchy's root", {"THIRD", "0", s, "LOG", "30", "ROOT", "ROOT", "BOOT"},
         exit_guard_target, true},
        {"two different IDs", {"OWNER", "0", s, "LOG", "30", "ID", "ID+1", "BOOT"}, exit_guard_target,
         true},
        {"member pid 1", {"OWNER", "1", s, "LOG", "30"}, exit_guard_target, false},
        {"member gone", {"OWNER", "DEAD", s, "LOG", "30"}, exit_guard_target, false},
        {"member in the guard's own group", {"OWNER", "SELF", s, "LOG", "30"}, exit_guard_target, true},
        {"member in the owner's group", {"OWNER", "OWNER", s, "LOG", "30"}, exit_guard_target, true},
        {"owner gone", {"DEAD", "MEMBER", s, "LOG", "30"}, exit_guard_target, true},
        // Wrapped to an int this would be pid 2, a live process.
        {"owner pid past the int range", {"4294967298", "MEMBER", s, "LOG", "30"}, exit_guard_target,
         true},
        {"log in a missing directory", {"OWNER", "MEMBER", s, "/nonexistent/guard.log", "30"},
         exit_guard_descriptor, false},
        // A link planted at the log's path is never followed (LINK points at
        // a file the test checks is left untouched).
        {"log path is a symbolic link", {"OWNER", "MEMBER", s, "LINK", "30"}, exit_guard_descriptor,
         false},
        // Opening it for writing would wait for a reader that never comes.
        {"log path is a FIFO nobody reads", {"OWNER", "MEMBER", s, "FIFO", "30"},
         exit_guard_descriptor, false},
    };
}

pid_t sleeper_in(const test_cgroup &group)
{
    spawn_options options;
    options.cgroup_procs_fd = group.procs_fd;
    return spawn({"/bin/sleep", "60"}, options);
}

// The pid of a process that is gone for good: none can have it, since pids
// stay below pid_max and pid_max never exceeds 2^22. The pid of one that has
// exited may name a newcomer by the time the guard looks.
constexpr pid_t dead_pid = 1 << 22;

std::string root_group_id()
{
    struct stat st;
    return stat(cgroup2_mount().c_str(), &st) == 0 ? std::to_string(st.st_ino) : "";
}

TEST(GuardAdmission, AcceptsOnlyWhatItCanSafelyWatch)
{
    SKIP_WITHOUT_JOBS();
    const std::string dead = std::to_string(dead_pid);
    test_cgroup third_group("guard-third");
    ASSERT_TRUE(third_group.ok());
    const pid_t third_pid = sleeper_in(third_group);
    const std::string third = std::to_string(third_pid);
    for (const admission_case &c : admission_cases()) {
        SCOPED_TRACE(c.name);
        job j("exit 0");
        test_cgroup own("guard-own");
        ASSERT_TRUE(j.group.ok() && own.ok());
        const pid_t self = sleeper_in(own);
        const pid_t member = sleeper_in(j.group);
        ASSERT_TRUE(wait_until([&] { return j.population() == 2 && own.procs().size() == 1; }, 5s));
        std::vector<std::string> args = c.args;
        for (std::string &a : args) {
            a = a == "OWNER" ? std::to_string(getpid())
                : a == "MEMBER" ? std::to_string(member)
                : a == "SELF" ? std::to_string(self)
                : a == "THIRD" ? third
                : a == "DEAD" ? dead
                : a == "LOG" ? j.dir / "guard.log"
                : a == "LINK" ? j.dir / "link.log"
                : a == "FIFO" ? j.dir / "fifo.log"
                : a == "ID" ? std::to_string(j.group.id)
                : a == "ID+1" ? std::to_string(j.group.id + 1)
                : a == "ROOT" ? root_group_id()
                : a == "BOOT" ? boot_session()
                : a == "BOOT-not" ? boot_session() + "x"
                : a;
        }
        args.insert(args.begin(), "guard");
        write_file(j.dir / "precious", "keep\n");
        ASSERT_EQ(symlink((j.dir / "precious").c_str(), (j.dir / "link.log").c_str()), 0);
        ASSERT_EQ(mkfifo((j.dir / "fifo.log").c_str(), 0600), 0);
        int owner[2];
        ASSERT_EQ(pipe2(owner, O_CLOEXEC), 0);
        // A guard to be accepted goes straight on to the teardown; one to be
        // refused is held back, so that if it is wrongly let in it waits
        // until killed and signals nothing (the root group holds the test).
        if (c.status == exit_ok)
            close(owner[1]);
        spawn_options options;
        options.fds.push_back({3, owner[0]});
        // The guard joins its own group, beside SELF.
        options.cgroup_procs_fd = own.procs_fd;
        const run_result r = run_shell(args, c.status == exit_ok ? 20s : 5s, options);
        close(owner[0]);
        if (c.status != exit_ok)
            close(owner[1]);
        EXPECT_EQ(r.err, c.refusal_message ? "refusing ambiguous coalition\n" : "");
        if (c.status == exit_ok) {
            EXPECT_EQ(r.out.rfind("{\"ready\":true,", 0), 0u) << r.out;
            expect_emptied(r.status, last_summary(read_file(j.dir / "guard.log")),
                           [&] { return job_ended(j); });
        } else {
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.out, "");
            EXPECT_FALSE(file_exists(j.dir / "guard.log"));
            EXPECT_TRUE(process_alive(member)) << "nothing is signalled before admission";
        }
        EXPECT_EQ(read_file(j.dir / "precious"), "keep\n");
        kill_and_reap(self);
        kill_and_reap(member);
    }
    kill_and_reap(third_pid);
}

TEST(GuardAdmission, WithoutDescriptorThreeNoLogIsCreated)
{
    SKIP_WITHOUT_JOBS();
    job j("exit 0");
    spawn_options options;
    options.fds.push_back({3, -1});
    const run_result r = run_shell({"guard", std::to_string(getpid()), std::to_string(j.runner),
                                    service, j.dir / "guard.log", "30"},
                                   20s, options);
    EXPECT_EQ(r.status, exit_guard_descriptor);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_FALSE(file_exists(j.dir / "guard.log"));
}

TEST(GuardAdmission, ReadyLineNamesTheJobBeforeAnythingIsSignalled)
{
    SKIP_WITHOUT_JOBS();
    job j("exit 0");
    guard_process g;
    start_guard(g, arguments(j, j.runner));
    const std::string id = std::to_string(j.group.id);
    EXPECT_EQ(read_line(g.out), "{\"ready\":true,\"guardianPid\":" + std::to_string(g.pid) +
                                    ",\"resource\":\"" + id + "\",\"jetsam\":\"" + id +
                                    "\",\"boot\":\"" + boot_session() + "\"}\n");
    // Nothing signalled yet: the runner is neither stopped nor gone (asleep,
    // awake to look for its start file, or waiting on the disk under load).
    const std::string stat = read_file("/proc/" + std::to_string(j.runner) + "/stat");
    const char state = stat[stat.rfind(')') + 2];
    EXPECT_TRUE(process_alive(j.runner) && state != 'T' && state != 't') << state;
    g.let_go();
    const std::optional<int> status = wait_exit(g.pid, 20s);
    ASSERT_TRUE(status);
    g.pid = -1;
    expect_emptied(exit_code(*status), last_summary(read_file(j.dir / "guard.log")),
                   [&] { return job_ended(j); });
}

// ----------------------------------------------------------------- teardown

TEST(GuardTeardown, EachWayTheOwnerLetsGoEndsTheWait)
{
    SKIP_WITHOUT_JOBS();
    struct way {
        const char *name;
        const char *deadline;
        bool write_byte;
        bool close_pipe;
        const char *reason;
        int signal_first = 0; // sent to the waiting guard before anything else
        int leaked_fd = -1;   // where the guard also gets the owner's end
    };
    const way ways[] = {
        {"owner closes its end", "30", false, true, "owner-pipe-closed"},
        {"owner writes a byte", "30", true, false, "owner-pipe-closed"},
        {"deadline passes", "1", false, false, "deadline"},
        {"a hang-up, then the owner closes", "30", false, true, "owner-pipe-closed", SIGHUP},
        {"a background write stop, then the owner closes", "30", false, true, "owner-pipe-closed",
         SIGTTOU},
        // Held open by the copy, the wait would last until long after the
        // 20 s allowed here.
        {"owner closes, a leaked copy of its end notwithstanding", "300", false, true,
         "owner-pipe-closed", 0, 9},
    };
    for (const way &w : ways) {
        SCOPED_TRACE(w.name);
        // Released first, so that even a short deadline finds the job settled.
        job j("sleep 300 & exit 0");
        ASSERT_TRUE(j.release());
        guard_process g;
        start_guard(g, arguments(j, j.runner, w.deadline), {}, {}, w.leaked_fd);
        ASSERT_EQ(read_line(g.out).rfind("{\"ready\":true,", 0), 0u);
        if (w.signal_first != 0) {
            ASSERT_EQ(kill(g.pid, w.signal_first), 0);
        }
        if (w.write_byte) {
            ASSERT_EQ(write(g.owner, "x", 1), 1);
        }
        if (w.close_pipe)
            g.let_go();
        // The owner keeps its end open unless it closes it.
        const std::optional<int> status = wait_exit(g.pid, 20s);
        ASSERT_TRUE(status);
        g.pid = -1;
        EXPECT_EQ(read_line(g.out), "") << "nothing after the ready line reaches the owner";
        const std::string log = read_file(j.dir / "guard.log");
        const summary s = last_summary(log);
        EXPECT_EQ(s.reason, w.reason);
        expect_emptied(exit_code(*status), s, [&] { return job_ended(j); });
        EXPECT_EQ(s.stopped, 12 * 2) << "the runner and the sleep, in each of twelve rounds";
        EXPECT_GE(s.killed, 2) << "a slow death is killed again in the next round";
        EXPECT_EQ(s.bootout, exit_exec_failed << 8) << "no /bin/launchctl here";
        struct stat st;
        ASSERT_EQ(stat((j.dir / "guard.log").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_TRUE(job_emptied(j));
    }
}

struct stray_case {
    const char *name;
    std::string command;
    size_t population; // processes in the job once the command has left them
};

// Each command leaves something behind that outlives bash; the guard must
// take all of it.
TEST(GuardTeardown, NothingTheCommandLeftBehindSurvives)
{
    SKIP_WITHOUT_JOBS();
    temp_dir agent;
    const std::string helper = COALITION_HELPER;
    const std::vector<stray_case> cases = {
        {"setsid", "setsid sleep 300 >/dev/null 2>&1 < /dev/null & exit 0", 2},
        {"double fork", "( (sleep 300 &) & ) ; exit 0", 2},
        {"nohup", "nohup sleep 300 >/dev/null 2>&1 & exit 0", 2},
        {"ignores SIGTERM", "(trap '' TERM; exec sleep 300) & exit 0", 2},
        {"main thread exited", helper + " leader-exit 3>/dev/null & exit 0", 2},
        {"ssh-agent, non-dumpable", "ssh-agent -a " + agent.path + "/socket >/dev/null; exit 0", 2},
        {"all of them at once",
         "setsid sleep 300 >/dev/null 2>&1 & ( (sleep 300 &) & ); nohup sleep 300 >/dev/null 2>&1 & "
         "(trap '' TERM; exec sleep 300) & " + helper + " leader-exit 3>/dev/null & ssh-agent -a " +
         agent.path + "/socket2 >/dev/null; exit 0", 7},
    };
    for (const stray_case &c : cases) {
        SCOPED_TRACE(c.name);
        job j(c.command);
        const summary s = guarded_session(j, c.population);
        EXPECT_GE(s.killed, static_cast<int>(c.population));
    }
}

TEST(GuardTeardown, AlreadyEmptyJobIsCleanedAndStillBootedOut)
{
    SKIP_WITHOUT_JOBS();
    job j("exit 0");
    const std::string id = std::to_string(j.group.id);
    guard_process g;
    // The runner is gone before the owner lets go: the pair is given.
    start_guard(g, {std::to_string(getpid()), "0", service, j.dir / "guard.log", "30", id, id,
                    boot_session()});
    ASSERT_EQ(read_line(g.out).rfind("{\"ready\":true,", 0), 0u);
    kill_and_reap(j.runner);
    j.runner = -1;
    ASSERT_TRUE(wait_until([&] { return !j.group.populated(); }, 5s));
    g.let_go();
    const std::optional<int> status = wait_exit(g.pid, 20s);
    ASSERT_TRUE(status);
    g.pid = -1;
    EXPECT_EQ(exit_code(*status), exit_ok);
    EXPECT_EQ(read_file(j.dir / "guard.log"),
              "{\"cleaned\":true,\"stopped\":0,\"killed\":0,\"remaining\":0,"
              "\"reason\":\"owner-pipe-closed\",\"bootoutStatus\":32512}\n");
}

TEST(GuardTeardown, SeveralHundredProcessesAreAllTaken)
{
    SKIP_WITHOUT_JOBS();
    job j("for i in $(seq 400); do sleep 300 & done; exit 0");
    const summary s = guarded_session(j, 401);
    EXPECT_GE(s.stopped, 401 * 12);
    EXPECT_GE(s.killed, 401);
}

// The forker is bounded (a fixed count of short-lived children, one at a
// time), so a faulty guard can't harm the machine; it is still forking when
// the owner lets go.
TEST(GuardTeardown, JobThatKeepsForkingIsEmptiedToo)
{
    SKIP_WITHOUT_JOBS();
    const std::string helper = COALITION_HELPER;
    job j("for i in 1 2 3 4; do " + helper + " churn 200000 3>/dev/null & done; exit 0");
    const summary s = guarded_session(j, 5);
    EXPECT_GE(s.killed, 5);
}

// Processes that fork and exit at once can stay ahead of any one scan; the
// guard must still freeze and empty the job, and never call it cleaned
// while it runs.
TEST(GuardTeardown, AChainThatOutrunsTheScanIsEmptiedAndNeverCalledCleanedEarly)
{
    SKIP_WITHOUT_JOBS();
    temp_dir dir;
    test_cgroup group("relay");
    ASSERT_TRUE(group.ok());
    // The chain outlives every wait below: only the guard ends it in time.
    const pid_t relay = start_relay(COALITION_HELPER, group, 60000);
    ASSERT_GT(relay, 0);

    const std::string id = std::to_string(group.id);
    guard_process g;
    start_guard(g, {std::to_string(getpid()), "0", service, dir / "guard.log", "30", id, id,
                    boot_session()});
    ASSERT_EQ(read_line(g.out).rfind("{\"ready\":true,", 0), 0u);
    g.let_go();
    const std::optional<int> status = wait_exit(g.pid, 20s);
    ASSERT_TRUE(status);
    g.pid = -1;
    // Whatever lives in the group the moment the guard is done; the killed
    // links that the relay has yet to reap are no longer listed.
    const bool none_alive = group.procs().empty();
    const summary s = last_summary(read_file(dir / "guard.log"));
    EXPECT_TRUE(none_alive || !s.cleaned) << "called cleaned while the chain lived";
    expect_emptied(exit_code(*status), s, [&] { return group.procs().empty(); });
    const std::optional<int> relay_status = wait_exit(relay, 20s);
    EXPECT_TRUE(relay_status.has_value());
}

// A process in the job that the guard may not signal (another user's, or the
// user's in a group below the job's, which carries another pair) is never
// signalled, but it keeps the job from being called cleaned. A root guard is
// no exception, given the pair of a job that holds nobody's processes alone.
TEST(GuardTeardown, WhatTheGuardMayNotSignalIsLeftAloneAndKeepsTheJobFromBeingCleaned)
{
    SKIP_WITHOUT_JOBS();
    struct leftover_case {
        const char *name;
        bool below;      // in a group below the job's, else in the job's own
        bool other_user; // else the user's
        bool runner;     // else the job holds the leftover alone, its pair given
    };
    const leftover_case cases[] = {
        {"another user's process in the job's group", false, true, true},
        {"the user's process below the job's group", true, false, true},
        {"another user's process alone in the job, a root guard", false, true, false},
    };
    for (const leftover_case &c : cases) {
        SCOPED_TRACE(c.name);
        job j("exit 0");
        test_cgroup split(j.group, "split");
        ASSERT_TRUE(split.ok());
        std::vector<std::string> args = arguments(j, j.runner);
        if (!c.runner) {
            kill_and_reap(j.runner);
            j.runner = -1;
            const std::string id = std::to_string(j.group.id);
            args[1] = "0";
            args.insert(args.end(), {id, id, boot_session()});
        }
        spawn_options options;
        options.cgroup_procs_fd = c.below ? split.procs_fd : j.group.procs_fd;
        if (c.other_user)
            options.run_as = {{65534, 65534}};
        const pid_t left = spawn({"/bin/sleep", "60"}, options);
        // In its group, and another user's only once it has given up root.
        ASSERT_TRUE(wait_until(
            [&] {
                return j.population() + split.procs().size() == (c.runner ? 2u : 1u) &&
                       (!c.other_user || runs_as(left, 65534));
            },
            30s));
        guard_process g;
        start_guard(g, args);
        ASSERT_EQ(read_line(g.out).rfind("{\"ready\":true,", 0), 0u);
        ASSERT_TRUE(!c.runner || j.release());
        g.let_go();
        const std::optional<int> status = wait_exit(g.pid, 20s);
        ASSERT_TRUE(status);
        g.pid = -1;
        const summary s = last_summary(read_file(j.log));
        // The leftover always remains; the killed runner too, on a machine
        // too loaded to let it exit within the kill rounds.
        EXPECT_EQ(exit_code(*status), exit_guard_remaining);
        EXPECT_FALSE(s.cleaned);
        EXPECT_TRUE(s.remaining == 1 || (c.runner && s.remaining == 2)) << s.remaining;
        EXPECT_TRUE(!c.runner || wait_until([&] { return !process_alive(j.runner); }, 30s));
        EXPECT_EQ(s.stopped, c.runner ? 12 : 0) << "the runner alone, in each of twelve rounds";
        EXPECT_EQ(s.bootout, exit_exec_failed << 8) << "the bootout runs either way";
        // Never signalled: alive, and not even stopped.
        const std::string stat = read_file("/proc/" + std::to_string(left) + "/stat");
        EXPECT_EQ(std::string("TtZX").find(stat[stat.rfind(')') + 2]), std::string::npos) << stat;
        kill_and_reap(left);
    }
}

// ------------------------------------------------------------------- trust

// Whether user may run the program at path: a build tree below a directory
// closed to others (as mktemp -d makes them) keeps it out.
bool can_run_as(uid_t user, const std::string &path)
{
    spawn_options options;
    options.run_as = {{user, user}};
    options.fds = {{1, -1}, {2, -1}};
    const pid_t pid = spawn({path}, options);
    const std::optional<int> status = wait_exit(pid, 20s);
    kill_and_reap(pid);
    return status && exit_code(*status) != 126 && exit_code(*status) != exit_exec_failed;
}

// How a guard that gave no ready line ended, for the failure message.
std::string outcome(guard_process &g)
{
    const std::optional<int> status = wait_exit(g.pid, 1s);
    if (!status)
        return "the guard still runs";
    g.pid = -1;
    return "the guard ended with status " + std::to_string(exit_code(*status));
}

// The job runs as the guard's own user and may try whatever that user may:
// attaching to the guard would let it forge exit 0 and a clean summary, and
// reopening the owner's pipe through /proc would hold the wait open.
TEST(GuardTrust, AJobCanNeitherDebugItsGuardNorReopenTheOwnersPipe)
{
    SKIP_WITHOUT_JOBS();
    const std::pair<uid_t, gid_t> nobody{65534, 65534};
    for (const std::string program : {shell_binary(), COALITION_HELPER})
        if (!can_run_as(nobody.first, program))
            GTEST_SKIP() << "user " << nobody.first << " can't run " << program;
    temp_dir shared; // where the job learns its guard's pid
    ASSERT_EQ(chmod(shared.path.c_str(), 0755), 0);
    job j(std::string(COALITION_HELPER) + " probe-guard " + (shared / "guard.pid"), nobody);
    spawn_options as_nobody;
    as_nobody.run_as = nobody;
    guard_process g;
    start_guard(g, {std::to_string(getpid()), std::to_string(j.runner),
                    "gui/65534/com.marloft.shell.test", j.dir / "guard.log", "30"},
                {}, as_nobody);
    ASSERT_EQ(read_line(g.out).rfind("{\"ready\":true,", 0), 0u) << outcome(g);
    // An owner of the job's user would have made the pipe as that user.
    ASSERT_EQ(fchown(g.owner, nobody.first, nobody.second), 0);
    write_file(shared / "guard.pid", std::to_string(g.pid));
    ASSERT_TRUE(j.release());
    EXPECT_EQ(read_file(j.dir / "out"),
              "attach=" + std::to_string(EPERM) + " reopen=" + std::to_string(EACCES) + "\n");
    g.let_go();
    const std::optional<int> status = wait_exit(g.pid, 20s);
    ASSERT_TRUE(status);
    g.pid = -1;
    expect_emptied(exit_code(*status), last_summary(read_file(j.dir / "guard.log")),
                   [&] { return job_ended(j); });
    EXPECT_TRUE(job_emptied(j));
}

// A guard can only ever take down its own user's processes: one that let
// another user's job in would find no member of its own, call the job
// cleaned and leave it running.
TEST(GuardTrust, AMemberOfAnotherUserIsRefused)
{
    SKIP_WITHOUT_JOBS();
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a member as another user";
    for (const bool given_pair : {false, true}) {
        SCOPED_TRACE(given_pair ? "10 arguments" : "7 arguments");
        test_cgroup group("guard-stranger");
        ASSERT_TRUE(group.ok());
        spawn_options as_nobody;
        as_nobody.cgroup_procs_fd = group.procs_fd;
        as_nobody.run_as = {{65534, 65534}};
        const pid_t stranger = spawn({"/bin/sleep", "60"}, as_nobody);
        ASSERT_TRUE(wait_until([&] { return runs_as(stranger, 65534); }, 5s));
        temp_dir dir;
        const std::string id = std::to_string(group.id);
        std::vector<std::string> args = {"guard", std::to_string(getpid()), std::to_string(stranger),
                                         service, dir / "guard.log", "30"};
        if (given_pair)
            args.insert(args.end(), {id, id, boot_session()});
        // Held open: a guard wrongly let in waits until killed.
        int owner[2];
        ASSERT_EQ(pipe2(owner, O_CLOEXEC), 0);
        spawn_options options;
        options.fds.push_back({3, owner[0]});
        const run_result r = run_shell(args, 5s, options);
        close(owner[0]);
        close(owner[1]);
        EXPECT_EQ(r.status, exit_guard_target);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_FALSE(file_exists(dir / "guard.log"));
        const std::string stat = read_file("/proc/" + std::to_string(stranger) + "/stat");
        // Running or asleep, whichever the scheduler left it in: neither
        // stopped nor ended.
        EXPECT_EQ(std::string("TtZX").find(stat[stat.rfind(')') + 2]), std::string::npos)
            << "signalled: " << stat;
        kill_and_reap(stranger);
    }
}

// ----------------------------------------------------------- bootout, state

TEST(GuardBootout, RunsLaunchctlWithTheTargetAndReportsItsRawStatus)
{
    SKIP_WITHOUT_JOBS();
    const std::string reason = launchctl_standin_skip_reason();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    temp_dir bin;
    ASSERT_TRUE(write_launchctl_standin(bin.path, bin / "record", 3));
    job j("sleep 300 & exit 0");
    const summary s = guarded_session(j, 2, {WITH_LAUNCHCTL, bin.path});
    EXPECT_EQ(s.bootout, 768);
    EXPECT_EQ(read_file(bin / "record"), "bootout\n" + service + "\nfd3=closed\n");
    // launchctl writes into the guard's log, before the summary.
    const std::string log = read_file(j.dir / "guard.log");
    EXPECT_NE(log.find("launchctl: out\n"), std::string::npos) << log;
    EXPECT_NE(log.find("launchctl: err\n"), std::string::npos) << log;
    EXPECT_FALSE(file_exists("/bin/launchctl")) << "the stand-in stays in its namespace";
}

// launchd may start the job again while it boots it out: a process that
// joins the job's group then goes through the same rounds, and the guard
// never calls the job cleaned while it lives.
TEST(GuardBootout, AProcessThatJoinsTheJobDuringTheBootoutIsTakenToo)
{
    SKIP_WITHOUT_JOBS();
    const std::string reason = launchctl_standin_skip_reason();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    temp_dir bin;
    job j("exit 0");
    // Moved in by pid before the stand-in exits, so it is there for the scan.
    ASSERT_TRUE(write_launchctl_standin(bin.path, bin / "record", 0,
                                        "sleep 300 </dev/null >/dev/null 2>&1 & echo $! > " +
                                            j.group.path + "/cgroup.procs"));
    const summary s = guarded_session(j, 1, {WITH_LAUNCHCTL, bin.path});
    EXPECT_GE(s.stopped, 24) << "the runner and the newcomer, twelve rounds each";
    EXPECT_GE(s.killed, 2);
}

// A job that can write the guard's log may leave it without a final newline,
// or plant a forged summary and fill the log up to what the guard may write
// (here a file-size limit): the summary still stands on a line of its own,
// and a guard that could not write it never ends with 0.
TEST(GuardBootout, TheSummaryIsALineOfItsOwnOrTheStatusSaysItIsMissing)
{
    SKIP_WITHOUT_JOBS();
    {
        temp_dir shared;
        job j("printf unfinished >> " + shared / "guard.log" + "; exit 0");
        j.log = shared / "guard.log";
        guarded_session(j, 1);
        EXPECT_EQ(read_file(j.log).rfind("unfinished\n{\"cleaned\":", 0), 0u) << read_file(j.log);
    }
    temp_dir shared;
    const std::string forged = R"({"cleaned":true,"stopped":12,"killed":1,"remaining":0,)"
                               R"("reason":"owner-pipe-closed","bootoutStatus":0})";
    job j("head -c 4096 /dev/zero >> " + shared / "guard.log" + "; printf '\\n%s\\n' '" + forged +
          "' >> " + shared / "guard.log" + "; exit 0");
    j.log = shared / "guard.log";
    // The limit's signal left as the caller had it: the job's writes, not
    // anyone's deliberate act, would raise it at the guard's last write.
    spawn_options limited;
    limited.limits = {{RLIMIT_FSIZE, 4096}};
    const std::optional<int> status = run_session(j, 1, {}, limited);
    ASSERT_TRUE(status);
    EXPECT_EQ(last_summary(read_file(j.log)).bootout, 0) << "the forgery is the last line";
    // 8 only for a runner slow to die, which its end then proves.
    EXPECT_TRUE(exit_code(*status) == exit_guard_summary ||
                exit_code(*status) == exit_guard_remaining)
        << exit_code(*status);
    EXPECT_TRUE(job_emptied(j));
}

// A caller that hands the guard an ignored SIGCHLD would have the kernel reap
// launchctl behind the guard's back; the guard puts the default back. (bash,
// unlike some shells, passes an ignored SIGCHLD on through exec.)
TEST(GuardBootout, IgnoredSigchldStillYieldsTheRealStatus)
{
    SKIP_WITHOUT_JOBS();
    job j("exit 0");
    const summary s =
        guarded_session(j, 1, {"/bin/bash", "-c", "trap '' CHLD; exec \"$0\" \"$@\""});
    EXPECT_EQ(s.bootout, exit_exec_failed << 8);
}

// With descriptor 1 closed at start, the log would take its place, catch the
// ready line and then be closed by the redirection.
TEST(GuardBootout, ClosedStandardOutputKeepsTheLogToItself)
{
    SKIP_WITHOUT_JOBS();
    job j("exit 0");
    guard_process g;
    start_guard(g, arguments(j, j.runner), {"/bin/sh", "-c", "exec \"$0\" \"$@\" >&-"});
    ASSERT_TRUE(j.release());
    g.let_go();
    const std::optional<int> status = wait_exit(g.pid, 20s);
    ASSERT_TRUE(status);
    g.pid = -1;
    const std::string log = read_file(j.dir / "guard.log");
    EXPECT_EQ(log.find("ready"), std::string::npos) << log;
    expect_emptied(exit_code(*status), last_summary(log), [&] { return job_ended(j); });
}

// A log that is a FIFO whose reader has stopped reading (one the job planted
// where the log goes, say) loses what it can't take; it never holds the
// guard after the teardown.
TEST(GuardBootout, AFullFifoAsTheLogNeverHoldsTheGuard)
{
    SKIP_WITHOUT_JOBS();
    job j("exit 0");
    ASSERT_EQ(mkfifo((j.dir / "guard.log").c_str(), 0600), 0);
    // Both ends, never read: the FIFO fills up and stays full.
    const int stalled = open((j.dir / "guard.log").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(stalled, 0);
    const std::string fill(4096, 'x');
    while (write(stalled, fill.data(), fill.size()) > 0) {
    }
    guard_process g;
    start_guard(g, arguments(j, j.runner));
    ASSERT_EQ(read_line(g.out).rfind("{\"ready\":true,", 0), 0u);
    g.let_go();
    const std::optional<int> status = wait_exit(g.pid, 20s);
    close(stalled);
    ASSERT_TRUE(status) << "the guard is still writing its log";
    g.pid = -1;
    // The summary is lost, which the status tells; 8 only tells of a slow
    // death, which the job's emptying then proves (see expect_emptied).
    EXPECT_TRUE(exit_code(*status) == exit_guard_summary ||
                exit_code(*status) == exit_guard_remaining)
        << exit_code(*status);
    EXPECT_TRUE(job_emptied(j));
}

} // namespace
