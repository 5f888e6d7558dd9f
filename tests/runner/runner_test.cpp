// The runner driven as its caller drives it: the real binary, a start file,
// a command under bash, and the capture files and result record on disk.

#include <csignal>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "main/exit_status.h"
#include "runner_support.h"
#include "support/harness.h"
#include "support/platform.h"

namespace {

constexpr size_t budget = 65'536;

// What `yes LINE | head -c n` writes.
std::string repeated(const std::string &line, size_t n)
{
    std::string s;
    while (s.size() < n)
        s += line + "\n";
    s.resize(n);
    return s;
}

std::string emit(const std::string &line, size_t n, bool to_stderr)
{
    return "yes " + line + " | head -c " + std::to_string(n) + (to_stderr ? " >&2" : "");
}

bool is_prefix(const std::string &part, const std::string &whole)
{
    return whole.compare(0, part.size(), part) == 0 && part.size() <= whole.size();
}

// The pid a command wrote to path with `echo`, once the whole line is
// there; 0 if it never is.
pid_t await_pid(const std::string &path)
{
    std::string line;
    wait_until(
        [&] {
            line = read_file(path);
            return !line.empty() && line.back() == '\n';
        },
        5s);
    return static_cast<pid_t>(std::atoi(line.c_str()));
}

struct ending_case {
    const char *name;
    std::string command;
    std::string out;
    std::string err;
    std::string record;
};

TEST(Runner, CapturesBothStreamsAndRecordsHowTheCommandEnded)
{
    using namespace std::string_literals;
    const ending_case cases[] = {
        {"clean exit", "printf out; printf err >&2", "out", "err",
         R"({"exit_code":0,"signal":0,"truncated":false})" "\n"},
        {"exit status", "echo a; echo b >&2; exit 3", "a\n", "b\n",
         R"({"exit_code":3,"signal":0,"truncated":false})" "\n"},
        {"highest exit status", "exit 255", "", "",
         R"({"exit_code":255,"signal":0,"truncated":false})" "\n"},
        {"SIGKILL", "echo before; kill -KILL $$", "before\n", "",
         R"({"exit_code":-1,"signal":9,"truncated":false})" "\n"},
        {"SIGTERM", "kill -TERM $$", "", "",
         R"({"exit_code":-1,"signal":15,"truncated":false})" "\n"},
        {"a crash", "kill -SEGV $$", "", "",
         R"({"exit_code":-1,"signal":11,"truncated":false})" "\n"},
        {"binary output", R"(printf 'a\0b\377'; printf '\0' >&2)", "a\0b\377"s, "\0"s,
         R"({"exit_code":0,"signal":0,"truncated":false})" "\n"},
        {"both streams below the budget",
         emit("out", 30'000, false) + "; " + emit("err", 30'000, true),
         repeated("out", 30'000), repeated("err", 30'000),
         R"({"exit_code":0,"signal":0,"truncated":false})" "\n"},
    };
    for (const auto &c : cases) {
        session s;
        s.launch(c.command);
        EXPECT_EQ(s.await_record(), c.record) << c.name;
        EXPECT_EQ(read_file(s.out), c.out) << c.name;
        EXPECT_EQ(read_file(s.err), c.err) << c.name;
        for (const std::string &path : {s.out, s.err, s.result})
            EXPECT_EQ(file_mode(path), 0600) << c.name << ": " << path;
        EXPECT_FALSE(file_exists(s.result + ".tmp")) << c.name;
        EXPECT_TRUE(process_alive(s.pid)) << c.name << ": the runner pauses after its record";
    }
}

struct budget_case {
    const char *name;
    size_t out;
    size_t err;
};

TEST(Runner, BothStreamsShareOneBudget)
{
    const budget_case cases[] = {
        {"stdout alone at the budget", budget, 0},
        {"stdout alone one byte over", budget + 1, 0},
        {"stderr alone at the budget", 0, budget},
        {"stderr alone one byte over", 0, budget + 1},
        {"split at the budget", 40'000, budget - 40'000},
        {"split one byte over", 40'000, budget - 40'000 + 1},
        {"both over half", 50'000, 50'000},
        {"far past the budget", 4 << 20, 1 << 20},
    };
    for (const auto &c : cases) {
        session s;
        s.launch(emit("stdout-line", c.out, false) + "; " + emit("stderr-line", c.err, true));
        const bool truncated = c.out + c.err > budget;
        EXPECT_EQ(s.await_record(), record(0, 0, truncated)) << c.name;
        const std::string out = read_file(s.out);
        const std::string err = read_file(s.err);
        EXPECT_EQ(out.size() + err.size(), truncated ? budget : c.out + c.err) << c.name;
        EXPECT_TRUE(is_prefix(out, repeated("stdout-line", c.out))) << c.name;
        EXPECT_TRUE(is_prefix(err, repeated("stderr-line", c.err))) << c.name;
    }
}

TEST(Runner, CommandSeesItsLimitsAndTheRunnersOtherDescriptors)
{
    session s;
    // Give the runner generous limits of its own, so that what the command
    // sees can only come from the runner.
    rlimit core{};
    getrlimit(RLIMIT_CORE, &core);
    spawn_options options;
    options.limits = {{RLIMIT_CORE, core.rlim_max}, {RLIMIT_NOFILE, 1024}};
    const int extra = open((s.dir / "extra").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(extra, 0);
    options.fds.push_back({5, extra});
    // bash's own test builtin asks about each of bash's descriptors: no pipe
    // end may have leaked.
    s.launch("ulimit -Sc; ulimit -Hc; ulimit -Sn; ulimit -Hn; echo kept >&5; "
             "for fd in {0..127}; do [ -e /dev/fd/$fd ] && echo $fd; done; true",
             options);
    close(extra);
    EXPECT_EQ(s.await_record(), record(0, 0, false));
    EXPECT_EQ(read_file(s.out), "0\n0\n128\n128\n0\n1\n2\n5\n");
    EXPECT_EQ(read_file(s.err), "");
    EXPECT_EQ(read_file(s.dir / "extra"), "kept\n");
}

struct existing_capture_case {
    const char *name;
    bool out_exists;
    bool err_exists;
    bool out_is_link;
};

TEST(Runner, AnExistingCaptureFileGives24AndTheCommandIsKilled)
{
    const existing_capture_case cases[] = {
        {"stdout capture exists", true, false, false},
        {"stderr capture exists", false, true, false},
        {"both exist", true, true, false},
        {"stdout capture is a dangling link", false, false, true},
    };
    for (const auto &c : cases) {
        session s;
        if (c.out_exists)
            write_file(s.out, "mine");
        if (c.err_exists)
            write_file(s.err, "mine");
        if (c.out_is_link) {
            ASSERT_EQ(symlink((s.dir / "elsewhere").c_str(), s.out.c_str()), 0);
        }
        // Left alone, the command would leave its marker a second later.
        // Everything it starts holds the write end of held, so the pipe
        // hangs up only once nothing of the command is left.
        int held[2];
        ASSERT_TRUE(open_pipe(held));
        spawn_options options;
        options.fds.push_back({5, held[1]});
        s.launch("sleep 1; touch " + s.dir / "marker", options);
        close(held[1]);
        EXPECT_EQ(s.await_exit(), exit_run_capture_create) << c.name;
        EXPECT_TRUE(hangs_up(held[0], 10s)) << c.name;
        close(held[0]);
        EXPECT_FALSE(file_exists(s.dir / "marker")) << c.name;

        EXPECT_EQ(read_file(s.out), c.out_exists ? "mine" : "") << c.name;
        EXPECT_EQ(read_file(s.err), c.err_exists ? "mine" : "") << c.name;
        // The other file was created all the same, and stays.
        if (!c.out_exists && !c.out_is_link) {
            EXPECT_EQ(file_mode(s.out), 0600) << c.name;
        }
        if (!c.err_exists) {
            EXPECT_EQ(file_mode(s.err), 0600) << c.name;
        }
        EXPECT_FALSE(file_exists(s.dir / "elsewhere")) << c.name;
        EXPECT_FALSE(file_exists(s.result)) << c.name;
        EXPECT_FALSE(file_exists(s.result + ".tmp")) << c.name;
    }
}

TEST(Runner, AnExistingTemporaryResultGives27)
{
    for (const bool dangling_link : {false, true}) {
        session s;
        const std::string temporary = s.result + ".tmp";
        if (dangling_link) {
            ASSERT_EQ(symlink((s.dir / "elsewhere").c_str(), temporary.c_str()), 0);
        } else {
            write_file(temporary, "mine");
        }
        s.launch("echo done");
        EXPECT_EQ(s.await_exit(), exit_run_result_create) << dangling_link;
        EXPECT_EQ(read_file(s.out), "done\n") << dangling_link;
        EXPECT_FALSE(file_exists(s.result)) << dangling_link;
        EXPECT_FALSE(file_exists(s.dir / "elsewhere")) << dangling_link;
        if (!dangling_link) {
            EXPECT_EQ(read_file(temporary), "mine");
        }
    }
}

struct result_names_capture_case {
    const char *name;
    const char *result; // as given, relative to the session's directory
    const char *holds;  // what the result path must still hold: the output
    const char *setup;   // what the command does first
};

// However it is spelled, a result path that names a capture file would have
// the record replace the output it vouches for.
TEST(Runner, AResultPathThatNamesACaptureFileGives28AndKeepsTheOutput)
{
    const result_names_capture_case cases[] = {
        {"the stdout capture's own path", "stdout", "out\n", ""},
        {"the stderr capture's own path", "stderr", "err\n", ""},
        {"spelled ./stdout", "./stdout", "out\n", ""},
        {"through a symbolic link to the directory", "via/stdout", "out\n", ""},
        // Made by the job, once the runner has created the capture file.
        {"a hard link to the stdout capture", "hard", "out\n",
         "until [ -e stdout ]; do sleep 0.01; done; ln stdout hard; "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        session s;
        ASSERT_EQ(symlink(".", (s.dir / "via").c_str()), 0);
        write_file(s.start, "");
        s.pid = spawn({"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", s.dir.path, shell_binary(), "run",
                       "start", c.result, "stdout", "stderr",
                       std::string(c.setup) + "echo out; echo err >&2"});
        EXPECT_EQ(s.await_exit(), exit_run_result_commit);
        EXPECT_EQ(read_file(s.out), "out\n");
        EXPECT_EQ(read_file(s.err), "err\n");
        EXPECT_FALSE(file_exists(s.dir / (std::string(c.result) + ".tmp")));
        EXPECT_EQ(read_file(s.dir / c.result), c.holds);
    }
}

TEST(Runner, ResultPathOnlyEverHoldsACompleteRecord)
{
    session s;
    write_file(s.result, "previous\n");
    s.launch(emit("x", 1 << 20, false));
    const std::string expected = record(0, 0, true);
    std::set<std::string> seen;
    EXPECT_TRUE(wait_until(
        [&] {
            const std::string now = read_file(s.result);
            seen.insert(now);
            return now == expected;
        },
        20s));
    EXPECT_EQ(seen, (std::set<std::string>{"previous\n", expected}));
}

// A runner whose files can't grow past bytes: with SIGXFSZ ignored, the
// write that would is cut short or fails instead of killing the runner.
spawn_options file_size_limited(unsigned long bytes)
{
    spawn_options options;
    options.ignored_signals = {SIGXFSZ};
    options.limits = {{RLIMIT_FSIZE, bytes}};
    return options;
}

TEST(Runner, ARecordThatCannotBeWrittenInFullGives28AndIsNeverRenamed)
{
    // The limit cuts the record short at the first byte or mid-line.
    for (const unsigned long size_limit : {0UL, 10UL}) {
        session s;
        s.launch("true", file_size_limited(size_limit));
        EXPECT_EQ(s.await_exit(), exit_run_result_commit) << size_limit;
        EXPECT_FALSE(file_exists(s.result)) << size_limit;
        const std::string partial = read_file(s.result + ".tmp");
        EXPECT_EQ(partial.size(), size_limit);
        EXPECT_TRUE(is_prefix(partial, record(0, 0, false))) << size_limit;
    }
}

TEST(Runner, BackgroundProcessHoldingThePipesDoesNotDelayTheResult)
{
    session s;
    const std::string bg = s.dir / "bg";
    // Everything bash wrote is in the pipe when it ends; the background sleep
    // keeps both pipes open long after, and outlives any wait for the record
    // however loaded the machine.
    s.launch("sleep 60 & echo $! > " + bg + "; " + emit("x", 60'000, false) + "; echo err >&2");
    EXPECT_EQ(s.await_record(20s), record(0, 0, false));
    const pid_t sleeper = await_pid(bg);
    ASSERT_GT(sleeper, 1);
    EXPECT_TRUE(process_alive(sleeper)) << "the record waited for the background process";
    EXPECT_EQ(read_file(s.out), repeated("x", 60'000));
    EXPECT_EQ(read_file(s.err), "err\n");
    // bash is gone, so the sleep is ours to end.
    kill_and_reap(sleeper);
}

TEST(Runner, AFailedCaptureWriteWhileTheCommandRunsGives25AndLeavesItRunning)
{
    session s;
    const std::string pid_file = s.dir / "pid";
    s.launch("echo $$ > " + pid_file + "; head -c 8192 /dev/zero; exec sleep 60",
             file_size_limited(5000));
    EXPECT_EQ(s.await_exit(), exit_run_capture_write);
    const pid_t command = await_pid(pid_file);
    ASSERT_GT(command, 1);
    EXPECT_TRUE(process_alive(command));
    kill_and_reap(command);
    // One chunk whole, then the cut write that failed.
    EXPECT_EQ(read_file(s.out).size(), 5000U);
    EXPECT_FALSE(file_exists(s.result));
}

TEST(Runner, AFailedCaptureWriteWhileDrainingGives26)
{
    session s;
    const std::string pid_file = s.dir / "pid";
    // The command stops the runner and ends with 8 KiB in the pipe; resumed,
    // the runner reads one chunk, sees the command gone and drains the rest.
    s.launch("echo $$ > " + pid_file + "; kill -STOP $PPID; head -c 8192 /dev/zero",
             file_size_limited(5000));
    const pid_t command = await_pid(pid_file);
    ASSERT_GT(command, 1);
    ASSERT_TRUE(wait_until([&] { return !process_alive(command); }, 5s));
    kill(s.pid, SIGCONT);
    EXPECT_EQ(s.await_exit(), exit_run_drain_write);
    EXPECT_FALSE(file_exists(s.result));
}

TEST(Runner, NoDescriptorLeftForAPipeGives22)
{
    // 4 leaves no room for the first pipe; 6 for the first but not the
    // second. Either leaves one descriptor spare: the loader needs it to map
    // the libraries, and a sanitizer's exit-time check needs it too.
    for (const unsigned long open_files : {4UL, 6UL}) {
        session s;
        spawn_options options;
        options.limits = {{RLIMIT_NOFILE, open_files}};
        s.launch("touch " + s.dir / "ran", options);
        EXPECT_EQ(s.await_exit(), exit_run_pipe) << open_files;
        EXPECT_FALSE(file_exists(s.dir / "ran")) << open_files;
        EXPECT_FALSE(file_exists(s.out)) << open_files;
    }
}

// Whether a program started with these options begins with sig ignored.
bool starts_ignoring(spawn_options options, int sig, const std::string &scratch)
{
    const int fd = open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    options.fds.push_back({1, fd});
    const pid_t pid = spawn(ignored_signals_program(), options);
    close(fd);
    wait_exit(pid, 5s);
    const std::string text = read_file(scratch);
    const size_t end = text.find_last_not_of(" \t\n");
    const size_t start = text.find_last_of(" \t", end);
    const std::string word = text.substr(start == std::string::npos ? 0 : start + 1);
    const unsigned long long mask = std::strtoull(word.c_str(), nullptr, 16);
    return (mask >> (sig - 1)) & 1;
}

TEST(Runner, AnInheritedIgnoredSigchldStillYieldsTheRecord)
{
    session s;
    spawn_options options;
    options.ignored_signals = {SIGCHLD};
    ASSERT_TRUE(starts_ignoring(options, SIGCHLD, s.dir / "sigign"));
    s.launch("echo out; exit 7", options);
    EXPECT_EQ(s.await_record(), record(7, 0, false));
    EXPECT_EQ(read_file(s.out), "out\n");
}

TEST(Runner, ClosedStandardDescriptorsAtStartLoseNoOutput)
{
    const std::vector<int> cases[] = {{0}, {1}, {2}, {0, 1, 2}};
    for (const auto &closed : cases) {
        session s;
        spawn_options options;
        std::string name = "closed:";
        for (const int fd : closed) {
            options.fds.push_back({fd, -1});
            name += ' ';
            name += std::to_string(fd);
        }
        s.launch("echo out; echo err >&2; [ /dev/fd/0 -ef /dev/null ] && echo stdin=null", options);
        EXPECT_EQ(s.await_record(), record(0, 0, false)) << name;
        EXPECT_EQ(read_file(s.out), "out\nstdin=null\n") << name;
        EXPECT_EQ(read_file(s.err), "err\n") << name;
    }
}

} // namespace
