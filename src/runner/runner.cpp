#include "runner/runner.h"

// The runner copies a command's output into two files while the command runs
// and reports how it ended only once everything is on disk. The result record
// is the caller's signal that the capture files are complete, so it appears
// at its final path in one rename, never half-written. Both output streams
// share one 64 KiB budget: the caller bounds what a command may leave behind,
// not how it splits it. Bytes past the budget are still read and dropped, so
// a chatty command never blocks on a full pipe.

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "main/exit_status.h"
#include "main/inherited.h"

namespace {

constexpr int start_file_retries = 200;
constexpr useconds_t start_file_interval_us = 50'000;
constexpr int poll_timeout_ms = 30;
constexpr uint64_t capture_budget = 65'536;
constexpr rlim_t open_file_limit = 128;
constexpr size_t path_size = 4096;
constexpr int capture_mode = 0600;
constexpr int capture_flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;

constexpr const char *result_template =
    "{\"exit_code\":%d,\"signal\":%d,\"truncated\":%s}\n";

using chunk = std::array<char, 4096>;

// What both capture files have received together.
struct capture {
    uint64_t total;
    bool truncated;
};

// Which file a capture file is, whatever path names it.
struct file_identity {
    dev_t device;
    ino_t inode;
};

// Returned by copy_chunk when the capture file did not take the whole write.
constexpr ssize_t capture_write_failed = -2;

int wait_for_start_file(const char *path)
{
    if (access(path, F_OK) == 0)
        return 0;
    for (int i = 0; i < start_file_retries; ++i) {
        usleep(start_file_interval_us);
        if (access(path, F_OK) == 0)
            return 0;
    }
    return exit_run_no_start;
}

// A pipe whose ends both lie above the standard descriptors, which the
// child's dup2 and close calls would otherwise tear down.
bool open_pipe(int ends[2])
{
    if (pipe(ends) != 0)
        return false;
    ends[0] = keep_above(ends[0], first_private_fd);
    ends[1] = keep_above(ends[1], first_private_fd);
    if (ends[0] >= 0 && ends[1] >= 0)
        return true;
    for (int i = 0; i < 2; ++i)
        if (ends[i] >= 0)
            close(ends[i]);
    return false;
}

// A new capture file above the standard descriptors, and which file it is;
// -1 when either can't be had (a file created stays).
int open_capture(const char *path, file_identity &id)
{
    const int fd = keep_above(open(path, capture_flags, capture_mode), first_private_fd);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    id = file_identity{st.st_dev, st.st_ino};
    return fd;
}

// Child side: never returns. Only async-signal-safe calls from here on.
[[noreturn]] void exec_command(const char *command, const int out[2], const int err[2])
{
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(out[0]);
    close(out[1]);
    close(err[0]);
    close(err[1]);
    const rlimit no_core{0, 0};
    const rlimit few_files{open_file_limit, open_file_limit};
    setrlimit(RLIMIT_CORE, &no_core);
    setrlimit(RLIMIT_NOFILE, &few_files);
    execl("/bin/bash", "bash", "--noprofile", "--norc", "-c", command, static_cast<char *>(nullptr));
    _exit(exit_exec_failed);
}

// Reads one chunk from fd and writes to file what still fits the budget.
// Returns what read returned (bytes, 0 at end of file, -1 on error), or
// capture_write_failed.
ssize_t copy_chunk(int fd, int file, capture &cap, chunk &buf)
{
    const ssize_t got = read(fd, buf.data(), buf.size());
    if (got <= 0)
        return got;
    const auto count = static_cast<uint64_t>(got);
    const uint64_t room = capture_budget - cap.total;
    if (count > room)
        cap.truncated = true;
    const size_t keep = static_cast<size_t>(count < room ? count : room);
    if (keep > 0 && write(file, buf.data(), keep) != static_cast<ssize_t>(keep))
        return capture_write_failed;
    cap.total += keep;
    return got;
}

// Copies both streams until the child has ended; stdout is served first in
// every pass. A stream at end of file leaves the poll set; an open pipe (a
// background process still holding it) does not keep the loop going.
int capture_output(pid_t child, std::array<pollfd, 2> &streams, const std::array<int, 2> &files,
                   capture &cap, chunk &buf, int &status)
{
    for (;;) {
        // A failed poll leaves revents untouched; stale events would send us
        // into a blocking read.
        for (pollfd &p : streams)
            p.revents = 0;
        // nfds_t is 32 bits on macOS; the cast keeps -Wconversion quiet there.
        poll(streams.data(), static_cast<nfds_t>(streams.size()), poll_timeout_ms);
        for (size_t i = 0; i < streams.size(); ++i) {
            if ((streams[i].revents & (POLLIN | POLLHUP)) == 0)
                continue;
            const ssize_t got = copy_chunk(streams[i].fd, files[i], cap, buf);
            if (got == capture_write_failed)
                return exit_run_capture_write;
            if (got == 0) {
                close(streams[i].fd);
                streams[i].fd = -1;
            }
        }
        // With both pipes at end of file nothing is left to copy: wait for
        // bash itself instead of waking every 30 ms to ask.
        const bool both_ended = streams[0].fd < 0 && streams[1].fd < 0;
        if (waitpid(child, &status, both_ended ? 0 : WNOHANG) == child)
            return 0;
    }
}

// Takes what the pipe already holds without waiting for more, then closes
// the pipe and the capture file. Only what it holds now: a process that bash
// left behind and that keeps writing could refill the pipe as fast as it is
// emptied, and the result would never be written.
int drain_stream(pollfd &stream, int file, capture &cap, chunk &buf)
{
    if (stream.fd >= 0) {
        int pending = 0;
        if (ioctl(stream.fd, FIONREAD, &pending) != 0)
            pending = 0;
        const int flags = fcntl(stream.fd, F_GETFL);
        fcntl(stream.fd, F_SETFL, flags | O_NONBLOCK);
        for (ssize_t taken = 0; taken < pending;) {
            const ssize_t got = copy_chunk(stream.fd, file, cap, buf);
            if (got == capture_write_failed)
                return exit_run_drain_write;
            if (got <= 0)
                break;
            taken += got;
        }
        close(stream.fd);
        stream.fd = -1;
    }
    close(file);
    return 0;
}

// Whether the rename would replace a capture file: the path may spell it
// otherwise (./R, through a linked directory, a hard link), so only what
// the entry is tells. The entry itself: a symbolic link there is replaced,
// not what it points at.
bool names_capture(const char *path, const std::array<file_identity, 2> &captures)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return false;
    for (const file_identity &id : captures)
        if (st.st_dev == id.device && st.st_ino == id.inode)
            return true;
    return false;
}

int write_result_file(const char *path, int status, bool truncated,
                      const std::array<file_identity, 2> &captures)
{
    // Refused before anything is created: the output stays, and no record
    // claims that all went well.
    if (names_capture(path, captures))
        return exit_run_result_commit;
    // A cut path could name the result file itself, or a stranger's file.
    char temporary[path_size];
    const int length = snprintf(temporary, sizeof temporary, "%s.tmp", path);
    if (length < 0 || static_cast<size_t>(length) >= sizeof temporary)
        return exit_run_result_create;
    const int fd = keep_above(open(temporary, capture_flags, capture_mode), first_private_fd);
    if (fd < 0)
        return exit_run_result_create;
    FILE *out = fdopen(fd, "w");
    if (out == nullptr) {
        close(fd);
        return exit_run_result_create;
    }
    // The raw wait status: low seven bits 0 for an exit, 0x7f for a stop,
    // otherwise the signal; the core-dump bit never shows.
    const int low = status & 0x7f;
    const int exit_code = low == 0 ? (status >> 8) & 0xff : -1;
    const int signal = low != 0 && low != 0x7f ? low : 0;
    const int printed = fprintf(out, result_template, exit_code, signal, truncated ? "true" : "false");
    // An incomplete record must never reach the result path.
    const bool unwritten = printed < 0 || ferror(out) != 0;
    if (fclose(out) != 0 || unwritten)
        return exit_run_result_commit;
    if (rename(temporary, path) != 0)
        return exit_run_result_commit;
    return 0;
}

} // namespace

int cmd_run(int argc, char **argv)
{
    if (argc != 7)
        return exit_run_arguments;
    const char *start_file = argv[2];
    const char *result_file = argv[3];
    const char *stdout_file = argv[4];
    const char *stderr_file = argv[5];
    const char *command = argv[6];
    reset_inherited_state();

    if (const int status = wait_for_start_file(start_file); status != 0)
        return status;
    int out[2];
    int err[2];
    if (!open_pipe(out))
        return exit_run_pipe;
    if (!open_pipe(err))
        return exit_run_pipe;
    const pid_t child = fork();
    if (child < 0)
        return exit_run_fork;
    if (child == 0)
        exec_command(command, out, err);
    close(out[1]);
    close(err[1]);

    // Opened only now, so the command may already be running; a file that
    // exists already is someone else's and is never appended to.
    std::array<file_identity, 2> captures{};
    const std::array<int, 2> files{open_capture(stdout_file, captures[0]),
                                   open_capture(stderr_file, captures[1])};
    if (files[0] < 0 || files[1] < 0) {
        kill(child, SIGKILL);
        return exit_run_capture_create;
    }

    std::array<pollfd, 2> streams{pollfd{out[0], POLLIN, 0}, pollfd{err[0], POLLIN, 0}};
    capture cap{0, false};
    chunk buf;
    int status = 0;
    if (const int failed = capture_output(child, streams, files, cap, buf, status); failed != 0)
        return failed;
    for (size_t i = 0; i < streams.size(); ++i)
        if (drain_stream(streams[i], files[i], cap, buf) != 0)
            return exit_run_drain_write;
    if (const int failed = write_result_file(result_file, status, cap.truncated, captures); failed != 0)
        return failed;
    for (;;)
        pause();
}
