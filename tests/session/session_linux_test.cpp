// What a hostile job may do to the files the session reads and removes, and
// what a kept work directory holds, through the library's API. Each session
// must end with its work directory gone (unless kept) and no group left.

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include <dirent.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include "marloft_session.h"
#include "support/cgroup.h"
#include "support/harness.h"

namespace fs = std::filesystem;

namespace {

struct finished {
    marloft_outcome outcome{};
    std::string out;
    std::string err;
};

int count_work_dirs()
{
    int n = 0;
    for (const auto &entry : fs::directory_iterator("/tmp"))
        n += entry.path().filename().string().rfind("marloft-session.", 0) == 0 ? 1 : 0;
    return n;
}

bool groups_left()
{
    const fs::path parent = fs::path(cgroup2_mount()) / "marloft-session";
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(parent, ec))
        if (entry.is_directory())
            return true;
    return false;
}

finished run_session(const char *command, const char *keep_dir = nullptr)
{
    marloft_options options{};
    options.command = command;
    options.deadline_s = 30;
    options.keep_dir = keep_dir;
    options.shell = shell_binary();
    finished f;
    marloft_session *session = marloft_session_start(&options, &f.outcome);
    if (session == nullptr)
        return f;
    marloft_session_wait(session);
    marloft_session_finish(session, &f.outcome);
    size_t size = 0;
    const char *text = marloft_session_output(session, MARLOFT_STDOUT, &size);
    f.out.assign(text, size);
    text = marloft_session_output(session, MARLOFT_STDERR, &size);
    f.err.assign(text, size);
    marloft_session_free(session);
    return f;
}

// As another process of the job's user could: stops the first find this
// process starts, and lets it go on only after hold.
pid_t stop_first_find(std::chrono::seconds hold)
{
    const pid_t session = getpid();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0)
        _exit(1);
    for (;;) {
        for (const auto &entry : fs::directory_iterator("/proc", fs::directory_options::skip_permission_denied)) {
            std::ifstream stat_file(entry.path() / "stat");
            std::string pid_text, comm, state;
            pid_t parent = 0;
            if (stat_file >> pid_text >> comm >> state >> parent && parent == session && comm == "(find)") {
                const pid_t find = std::stoi(pid_text);
                kill(find, SIGSTOP);
                sleep(static_cast<unsigned>(hold.count()));
                kill(find, SIGCONT);
                _exit(0);
            }
        }
    }
}

class SessionLinux : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_CGROUPS();
        adopt_orphans();
        work_dirs_ = count_work_dirs();
    }
    void TearDown() override
    {
        if (IsSkipped())
            return;
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        EXPECT_FALSE(groups_left());
        EXPECT_LE(count_work_dirs(), work_dirs_);
    }
    int work_dirs_ = 0;
};

// Captures swapped for a link to root's secrets and for a FIFO are not read
// (and don't hold the session); a tree the job locked up and a link out of
// it are removed without touching what the link names.
TEST_F(SessionLinux, PlantedFilesAreNotReadAndTheJobsTreeGoes)
{
    const finished f = run_session(
        "echo visible; rm stdout stderr; ln -s /etc/shadow stdout; mkfifo stderr; "
        "mkdir -p a/b/c && touch a/b/c/f && chmod 0 a/b a; ln -s /etc out-link");
    EXPECT_EQ(f.outcome.status, MARLOFT_OK) << marloft_describe(f.outcome.status);
    EXPECT_EQ(f.outcome.job_gone, 1);
    EXPECT_EQ(f.outcome.record.exit_code, 0);
    EXPECT_EQ(f.out, "");
    EXPECT_EQ(f.err, "");
    EXPECT_TRUE(fs::exists("/etc/shadow"));
}

// WORK/job itself locked up by the job, and a removal stopped by a process
// of the job's user outside the job: the session still ends, and in time.
TEST_F(SessionLinux, WhatTheJobsUserLocksOrStopsDoesNotHoldTheSession)
{
    EXPECT_EQ(run_session("chmod 0 .").outcome.status, MARLOFT_RUNNER_FAILED);
    EXPECT_LE(count_work_dirs(), work_dirs_);

    const pid_t stopper = stop_first_find(std::chrono::seconds(90));
    const auto start = std::chrono::steady_clock::now();
    const finished f = run_session("seq 20000 | xargs touch");
    const auto took = std::chrono::steady_clock::now() - start;
    kill_and_reap(stopper);
    EXPECT_EQ(f.outcome.status, MARLOFT_OK) << marloft_describe(f.outcome.status);
    EXPECT_LT(took, std::chrono::seconds(60));
}

TEST_F(SessionLinux, AKeptDirectoryHoldsTheRecordCapturesAndLog)
{
    const fs::path kept = fs::temp_directory_path() / ("marloft-kept-" + std::to_string(getpid()));
    const finished f = run_session("echo kept", kept.c_str());
    EXPECT_EQ(f.outcome.status, MARLOFT_OK) << marloft_describe(f.outcome.status);
    EXPECT_EQ(f.out, "kept\n");
    std::ifstream out(kept / "job/stdout");
    std::string line;
    EXPECT_TRUE(std::getline(out, line) && line == "kept");
    EXPECT_TRUE(fs::is_regular_file(kept / "job/result"));
    std::ifstream log(kept / "guard.log");
    std::string last;
    while (std::getline(log, line))
        last = line;
    EXPECT_EQ(last.rfind("{\"cleaned\":true,", 0), 0u) << last;
    EXPECT_FALSE(fs::exists(kept / "marloft-shell"));

    // A directory to keep that is already there is refused, and left alone.
    const finished again = run_session("true", kept.c_str());
    EXPECT_EQ(again.outcome.status, MARLOFT_SETUP_FAILED);
    EXPECT_TRUE(fs::is_regular_file(kept / "job/result"));
    fs::remove_all(kept);
}

} // namespace
