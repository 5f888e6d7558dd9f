#pragma once

// A runner session as its caller sets one up: a directory holding the start
// file, the result record and the two capture files, and the real binary
// working on them.

#include <chrono>
#include <optional>
#include <string>

#include <sys/types.h>

#include "support/harness.h"

// The exact line the runner writes for a command that ended this way.
std::string record(int exit_code, int signal, bool truncated);

struct session {
    temp_dir dir;
    std::string start = dir / "start";
    std::string result = dir / "result";
    std::string out = dir / "stdout";
    std::string err = dir / "stderr";
    pid_t pid = -1;

    session() = default;
    // After its record the runner pauses until a signal ends it.
    ~session() { kill_and_reap(pid); }
    session(const session &) = delete;
    session &operator=(const session &) = delete;

    // Starts `run` on command, with standard input on /dev/null unless
    // options say otherwise. The start file is created first unless gated.
    void launch(const std::string &command, spawn_options options = {}, bool gated = false);
    // Waits for the result record and returns it, or "" if none appeared.
    std::string await_record(std::chrono::milliseconds timeout = 20s) const;
    // The runner's exit status (exit_code() form), or -1 if it still runs.
    int await_exit(std::chrono::milliseconds timeout = 20s);
};

// Permission bits of path (not following a symbolic link), or -1.
int file_mode(const std::string &path);
