#include "coalition/coalition.h"

// The platform puts every process of a launchd job into one resource
// coalition and one jetsam coalition, and a process can't leave them, so the
// pair of coalition IDs names the job. libproc lists the user's processes and
// tells each one's state and pair; a process that vanishes under a scan
// answers ESRCH or ENOENT and is skipped, any other failure fails the scan,
// since a scan that might miss a member could let one survive the teardown.
//
// errno is cleared before every query, so that a failure that sets no errno
// reads as 0 instead of whatever an earlier call left behind.

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <libproc.h>
#include <signal.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/sysctl.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// PROC_PIDCOALITIONINFO and its record are not in the public headers: the
// coalition IDs indexed by coalition type (resource, then jetsam), then
// three reserved words.
constexpr int pid_coalition_info = 20;
struct coalition_info {
    uint64_t ids[2];
    uint64_t reserved[3];
};
static_assert(sizeof(coalition_info) == 40, "the platform's coalition record is 40 bytes");

static_assert(sizeof(proc_bsdinfo) == 136, "the platform's BSD record is 136 bytes");
static_assert(offsetof(proc_bsdinfo, pbi_status) == 4, "pbi_status sits at byte 4");

constexpr int coalition_info_size = static_cast<int>(sizeof(coalition_info));
constexpr int bsd_info_size = static_cast<int>(sizeof(proc_bsdinfo));
constexpr uint32_t status_zombie = SZOMB; // ended, waiting to be reaped
// Room for processes started between sizing the list and filling it.
constexpr size_t spare_entries = 1024;

// Reads pid's record into info, zeroed first. Returns what the call returned.
int query_coalition(pid_t pid, coalition_info &info)
{
    memset(&info, 0, sizeof info);
    errno = 0;
    return proc_pidinfo(pid, pid_coalition_info, 0, &info, coalition_info_size);
}

bool read_pair(pid_t pid, coalition_ids &out)
{
    coalition_info info;
    if (query_coalition(pid, info) != coalition_info_size)
        return false;
    out = {info.ids[0], info.ids[1]};
    return is_valid(out);
}

bool is_gone(int error)
{
    return error == ESRCH || error == ENOENT;
}

enum class verdict { skip, member, failed };

verdict examine(pid_t pid, const coalition_ids &target)
{
    proc_bsdinfo bsd;
    coalition_info info;
    memset(&bsd, 0, sizeof bsd);
    memset(&info, 0, sizeof info);
    errno = 0;
    if (proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &bsd, bsd_info_size) != bsd_info_size) {
        const int error = errno;
        if (is_gone(error))
            return verdict::skip;
        (void)fprintf(stderr, "bsd metadata unavailable pid=%d errno=%d\n", pid, error);
        return verdict::failed;
    }
    if (bsd.pbi_status == status_zombie)
        return verdict::skip;
    const int got = query_coalition(pid, info);
    const int error = errno;
    const coalition_ids ids{info.ids[0], info.ids[1]};
    // A full record with a zero ID can never match a valid target: not a
    // member, whatever errno holds.
    if (got == coalition_info_size && !is_valid(ids))
        return verdict::skip;
    if (got != coalition_info_size) {
        if (is_gone(error))
            return verdict::skip;
        (void)fprintf(stderr, "coalition metadata unavailable pid=%d state=%d errno=%d\n", pid,
                static_cast<int>(bsd.pbi_status), error);
        return verdict::failed;
    }
    return ids == target ? verdict::member : verdict::skip;
}

// Fills the list into pids (capacity entries, zeroed) and examines it.
int scan_listing(pid_t *pids, size_t capacity, const coalition_ids &target, member_list &out)
{
    const auto size = static_cast<int>(capacity * sizeof(pid_t));
    errno = 0;
    const int filled = proc_listpids(PROC_UID_ONLY, getuid(), pids, size);
    // A list that fills the buffer to the last byte may have been cut short.
    if (filled < 1 || filled >= size)
        return -1;
    const pid_t self = getpid();
    const size_t entries = static_cast<size_t>(filled) / sizeof(pid_t);
    int count = 0;
    for (size_t i = 0; i < entries; ++i) {
        const pid_t pid = pids[i];
        if (pid < 2 || pid == self)
            continue;
        const verdict v = examine(pid, target);
        if (v == verdict::failed)
            return -1;
        if (v == verdict::skip)
            continue;
        if (count == member_capacity)
            return -1;
        out[static_cast<size_t>(count++)] = pid;
    }
    return count;
}

} // namespace

int identity(pid_t pid, coalition_ids *out)
{
    coalition_ids ids{};
    if (!read_pair(pid, ids))
        return 0;
    *out = ids;
    return 1;
}

int members(const coalition_ids &target, member_list &out)
{
    errno = 0;
    const int needed = proc_listpids(PROC_UID_ONLY, getuid(), nullptr, 0);
    if (needed < 1)
        return -1;
    const size_t capacity = static_cast<size_t>(needed) / sizeof(pid_t) + spare_entries;
    // The fill call takes the buffer's size as an int.
    if (capacity > static_cast<size_t>(INT_MAX) / sizeof(pid_t))
        return -1;
    auto *pids = static_cast<pid_t *>(calloc(capacity, sizeof(pid_t)));
    if (pids == nullptr)
        return -1;
    const int count = scan_listing(pids, capacity, target, out);
    free(pids);
    return count;
}

int checked_signal(pid_t pid, const coalition_ids &target, int sig)
{
    // Never the kernel's processes or the caller, whatever pair they show.
    if (pid < 2 || pid == getpid())
        return 0;
    coalition_ids ids{};
    if (!read_pair(pid, ids) || !(ids == target))
        return 0;
    if (kill(pid, sig) == 0)
        return 1;
    return errno == ESRCH ? 1 : 0;
}

int read_boot_session(boot_session_id &out)
{
    out.fill('\0');
    size_t length = out.size();
    errno = 0;
    if (sysctlbyname("kern.bootsessionuuid", out.data(), &length, nullptr, 0) != 0 ||
        out[0] == '\0')
        return 0;
    // Callers print it as a string: it must end inside the buffer.
    if (memchr(out.data(), '\0', out.size()) == nullptr) {
        out.fill('\0');
        return 0;
    }
    return 1;
}

// Both IDs are the platform's own, given to each job apart: any valid pair
// may name one.
int is_job_pair(const coalition_ids &ids)
{
    return is_valid(ids) ? 1 : 0;
}

// The platform's own refusal of every later debugger, whoever it runs as.
void refuse_debuggers()
{
    (void)ptrace(PT_DENY_ATTACH, 0, nullptr, 0);
}

// There is no call that closes a range here. Every descriptor opened under
// the current limit lies below it; the cap bounds the loop when the limit is
// vast.
void close_descriptors_from(int lowest)
{
    constexpr rlim_t most = 1 << 16;
    rlimit limit{};
    const bool known = getrlimit(RLIMIT_NOFILE, &limit) == 0;
    const rlim_t end = known && limit.rlim_cur < most ? limit.rlim_cur : most;
    for (auto fd = static_cast<rlim_t>(lowest); fd < end; ++fd)
        close(static_cast<int>(fd));
}
