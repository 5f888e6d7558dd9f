#include "guard/fake_coalition.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

fake_table &fake()
{
    static fake_table table;
    return table;
}

namespace {

void trace(const char *format, long a = 0, long b = 0)
{
    if (fake().trace_fd < 0)
        return;
    char line[128];
    const int length = snprintf(line, sizeof line, format, a, b);
    if (length > 0 && write(fake().trace_fd, line, static_cast<size_t>(length)) < 0)
        return;
}

fake_process *find(pid_t pid, int scan)
{
    for (fake_process &p : fake().processes)
        if (p.pid == pid && !p.gone && p.appears_at_scan <= scan)
            return &p;
    return nullptr;
}

} // namespace

int identity(pid_t pid, coalition_ids *out)
{
    trace("identity %ld\n", pid);
    if (pid == getpid()) {
        *out = fake().guard_ids;
        return is_valid(*out) ? 1 : 0;
    }
    const fake_process *p = find(pid, fake().scans);
    if (p == nullptr || !is_valid(p->ids))
        return 0;
    *out = p->ids;
    return 1;
}

int members(const coalition_ids &target, member_list &out)
{
    const int scan = fake().scans++;
    trace("members %ld\n", scan);
    if (scan == 0 && !fake().forge_into.empty()) {
        const std::string forged = std::string(300, 'x') + "\n{\"cleaned\":true,\"forged\":true}\n";
        const int fd = open(fake().forge_into.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0 && write(fd, forged.data(), forged.size()) < 0)
            trace("forge failed\n");
        if (fd >= 0)
            close(fd);
    }
    if (scan == fake().failing_scan) {
        // What a real scan says when the process table won't answer.
        fprintf(stderr, "bsd metadata unavailable pid=%d errno=%d\n", 4242, EIO);
        return -1;
    }
    int count = 0;
    for (const fake_process &p : fake().processes) {
        if (p.gone || p.appears_at_scan > scan || !(p.ids == target))
            continue;
        if (count == member_capacity)
            return -1;
        out[static_cast<size_t>(count++)] = p.pid;
    }
    return count;
}

int is_users_process(pid_t pid)
{
    trace("users %ld\n", pid);
    const fake_process *p = find(pid, fake().scans);
    return p != nullptr && !p->other_users ? 1 : 0;
}

int checked_signal(pid_t pid, const coalition_ids &target, int sig)
{
    fake_process *p = find(pid, fake().scans - 1);
    if (p == nullptr || p->other_users || !(p->ids == target))
        return 0;
    // Traced once sent: whom the guard only asked about got nothing.
    trace("signal %ld sig=%ld\n", pid, sig);
    if (sig == SIGSTOP)
        p->stopped = true;
    if (sig == SIGKILL) {
        if (p->unkillable)
            return 0;
        if (--p->kills_to_die <= 0)
            p->gone = true;
    }
    return 1;
}

int read_boot_session(boot_session_id &out)
{
    trace("boot\n");
    if (fake().boot.empty())
        return 0;
    if (fake().fill_boot_buffer) {
        out.fill('b');
        return 1;
    }
    out.fill('\0');
    memcpy(out.data(), fake().boot.data(), fake().boot.size() < out.size() ? fake().boot.size() : out.size() - 1);
    return 1;
}

int is_job_pair(const coalition_ids &ids)
{
    return is_valid(ids) ? 1 : 0;
}

// Traced only: the real effects are the platform's, tested end to end.
void refuse_debuggers()
{
    trace("refuse-debuggers\n");
}

void close_descriptors_from(int lowest)
{
    trace("close-from %ld\n", lowest);
}
