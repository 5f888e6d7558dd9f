#pragma once

// Helpers for driving the real marloft-shell binary and other real processes
// from tests. Every process a test starts is killed and reaped by PID; where
// the platform allows it, the test process adopts the orphans of the jobs it
// starts and reaps them after every test.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "support/platform.h"

using namespace std::chrono_literals;

// Absolute path of the binary under test.
const char *shell_binary();

struct spawn_options {
    // {descriptor in the child, descriptor in the parent}; a parent
    // descriptor of -1 leaves that child descriptor closed. Descriptors 0-2
    // not named here are inherited; every other descriptor is closed.
    std::vector<std::pair<int, int>> fds;
    // When >= 0, the child moves itself into the cgroup whose cgroup.procs
    // this descriptor has open before it execs, so a job starts inside it.
    int cgroup_procs_fd = -1;
    // When set, the child gives up root for this user and group, with no
    // supplementary groups, before it execs (status 126 if it can't).
    std::optional<std::pair<uid_t, gid_t>> run_as;
    // Signals the child sets to SIG_IGN before it execs, as a careless
    // caller would pass them on.
    std::vector<int> ignored_signals;
    // {resource, value}: the child sets both the soft and the hard limit of
    // each resource before it execs.
    std::vector<std::pair<int, unsigned long>> limits;
};

// fork + execv of argv (argv[0] is the path). Returns the pid, or -1.
pid_t spawn(const std::vector<std::string> &argv, const spawn_options &options = {});

// The raw wait status of pid once it exits, or nothing if it is still
// running when timeout passes (it is then left alone).
std::optional<int> wait_exit(pid_t pid, std::chrono::milliseconds timeout);

// SIGKILL and reap; harmless if the process has already been reaped.
void kill_and_reap(pid_t pid);

// Exit code of a raw wait status, or 128 + signal when it died of a signal.
int exit_code(int raw_status);

struct run_result {
    int status = -1; // exit_code() of the process, -1 on time-out
    std::string out;
    std::string err;
};

// Runs program with args to completion, capturing its standard output and
// error. Kills it after timeout.
run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       std::chrono::milliseconds timeout = 20s, spawn_options options = {});

// run_program of marloft-shell, args the sub-command word first.
run_result run_shell(const std::vector<std::string> &args,
                     std::chrono::milliseconds timeout = 20s, spawn_options options = {});

// Polls condition every millisecond until it holds or timeout passes.
bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds timeout);

bool file_exists(const std::string &path);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

// pipe() with both ends closed on exec. Returns false on failure.
bool open_pipe(int fds[2]);

// Whether every write end of the pipe that fd reads closes before timeout
// passes; what arrives meanwhile is read and dropped.
bool hangs_up(int fd, std::chrono::milliseconds timeout);

// A fresh directory under /tmp, removed with its contents at scope exit.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};
