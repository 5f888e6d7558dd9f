#include "coalition/coalition.h"

// The platform puts every process of a launchd job into one resource
// coalition and one jetsam coalition, and a process can't leave them, so the
// pair of coalition IDs names the job. A process is the user's when its
// effective, real or saved uid is: a job's process that runs a setuid-root
// program keeps the real uid, its coalitions and the user's right to signal
// it. A job's process whose every uid is another's (a setuid-root tool that
// made itself root, a set-id program that took its owner's uid both ways) is
// in none of the user's listings and beyond the user's signals: it is
// counted, so that the job is never called empty while it runs, and never
// signalled. libproc tells each process's state and pair through queries
// that check no permission: a process that the user may not look into must
// neither be missed nor fail the scan. A process that vanishes under a scan
// answers ESRCH (or ENOENT) and is skipped; any other failure fails the
// scan, since a scan that might miss a member could let one survive the
// teardown.
//
// The user's own listings come first, as they are short; only when they
// name no member is every process listed, skipping those already examined,
// so a teardown pays for the whole process table once, when it ends.
//
// A listing vouches for an empty job only when none of the processes it
// examined vanished. Every job process alive at the listing is in it; one
// born after it descends from one that was alive then (coalitions pass on
// at fork), which was either a member or vanished. A pass that saw one
// vanish lists again and examines only what the previous listing did not
// name: a zombie answers as a vanished process once, then is no news. A job
// that keeps changing faster than the scan can list it fails the scan.
//
// errno is cleared before every query, so that a failure that sets no errno
// reads as 0 instead of whatever an earlier call left behind.

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

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

static_assert(sizeof(proc_bsdshortinfo) == 64, "the platform's short BSD record is 64 bytes");
static_assert(offsetof(proc_bsdshortinfo, pbsi_status) == 12, "pbsi_status sits at byte 12");
static_assert(offsetof(proc_bsdshortinfo, pbsi_uid) == 36, "pbsi_uid sits at byte 36");
static_assert(offsetof(proc_bsdshortinfo, pbsi_ruid) == 44, "pbsi_ruid sits at byte 44");
static_assert(offsetof(proc_bsdshortinfo, pbsi_svuid) == 52, "pbsi_svuid sits at byte 52");
static_assert(sizeof(proc_fdinfo) == 8, "the platform's descriptor record is 8 bytes");
static_assert(offsetof(proc_fdinfo, proc_fd) == 0, "proc_fd sits at byte 0");

constexpr int coalition_info_size = static_cast<int>(sizeof(coalition_info));
constexpr int short_info_size = static_cast<int>(sizeof(proc_bsdshortinfo));
constexpr uint32_t status_zombie = SZOMB; // ended, waiting to be reaped
// Room for processes started between sizing a list and filling it.
constexpr size_t spare_entries = 1024;
// How often a scan lists processes of one reach that vanish under it before
// it gives up on a job that changes faster than that.
constexpr int max_passes = 4;
// Descriptors named per query; more take another round.
constexpr size_t descriptor_batch = 128;

// Reads pid's record into info, zeroed first. Returns what the call returned.
int query_coalition(pid_t pid, coalition_info &info)
{
    memset(&info, 0, sizeof info);
    errno = 0;
    return proc_pidinfo(pid, pid_coalition_info, 0, &info, coalition_info_size);
}

// The short record is the one the platform gives about anyone's process.
int query_short_info(pid_t pid, proc_bsdshortinfo &info)
{
    memset(&info, 0, sizeof info);
    errno = 0;
    return proc_pidinfo(pid, PROC_PIDT_SHORTBSDINFO, 0, &info, short_info_size);
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

// Live, and the user's by any of its three uids: the user may signal a
// process whose real or saved uid is the user's.
bool is_live_users(pid_t pid)
{
    proc_bsdshortinfo info;
    if (query_short_info(pid, info) != short_info_size || info.pbsi_status == status_zombie)
        return false;
    const uid_t user = getuid();
    return info.pbsi_uid == user || info.pbsi_ruid == user || info.pbsi_svuid == user;
}

enum class verdict { skip, vanished, member, failed };

verdict examine(pid_t pid, const coalition_ids &target)
{
    proc_bsdshortinfo bsd;
    coalition_info info;
    if (query_short_info(pid, bsd) != short_info_size) {
        const int error = errno;
        if (is_gone(error))
            return verdict::vanished;
        (void)fprintf(stderr, "bsd metadata unavailable pid=%d errno=%d\n", pid, error);
        return verdict::failed;
    }
    // The platform answers for a zombie as for a gone process; this stays
    // in case it ever reports one.
    if (bsd.pbsi_status == status_zombie)
        return verdict::vanished;
    const int got = query_coalition(pid, info);
    const int error = errno;
    const coalition_ids ids{info.ids[0], info.ids[1]};
    // A full record with a zero ID can never match a valid target: not a
    // member, whatever errno holds.
    if (got == coalition_info_size && !is_valid(ids))
        return verdict::skip;
    if (got != coalition_info_size) {
        if (is_gone(error))
            return verdict::vanished;
        (void)fprintf(stderr, "coalition metadata unavailable pid=%d state=%d errno=%d\n", pid,
                static_cast<int>(bsd.pbsi_status), error);
        return verdict::failed;
    }
    return ids == target ? verdict::member : verdict::skip;
}

// Entries to allocate per listing: the platform's estimate, which counts
// every process whatever the listing's type, and the spare ones; 0 when the
// estimate fails.
size_t listing_room()
{
    errno = 0;
    const int needed = proc_listpids(PROC_UID_ONLY, getuid(), nullptr, 0);
    if (needed < 1)
        return 0;
    const size_t room = static_cast<size_t>(needed) / sizeof(pid_t) + spare_entries;
    // The fill call takes the buffer's size, up to two listings' room, as an int.
    return room > static_cast<size_t>(INT_MAX) / (2 * sizeof(pid_t)) ? 0 : room;
}

// Fills one listing into pids (room entries, zeroed). The entries filled,
// or -1 when it failed or filled the buffer to the last byte, where the
// platform may have cut it short without a word.
long fill_listing(uint32_t type, uint32_t typeinfo, pid_t *pids, size_t room)
{
    const auto size = static_cast<int>(room * sizeof(pid_t));
    errno = 0;
    const int filled = proc_listpids(type, typeinfo, pids, size);
    if (filled < 1 || filled >= size)
        return -1;
    return static_cast<long>(static_cast<size_t>(filled) / sizeof(pid_t));
}

// Two buffers of two listings' room each: the listing being examined and
// the one before it, whose processes are not examined again.
struct scan_area {
    pid_t *listing;
    pid_t *earlier;
    size_t room;
    long before;
};

// The user's processes by effective uid, then by real uid, one after the
// other in pids (two listings' room). The count, or -1.
long fill_users_listings(pid_t *pids, size_t room)
{
    const long effective = fill_listing(PROC_UID_ONLY, getuid(), pids, room);
    if (effective < 0)
        return -1;
    const long real = fill_listing(PROC_RUID_ONLY, getuid(), pids + room, room);
    if (real < 0)
        return -1;
    memmove(pids + effective, pids + room, static_cast<size_t>(real) * sizeof(pid_t));
    return effective + real;
}

// Fills the user's listings, or everyone's, into the area's listing and
// leaves each process once, in pid order, at the front. The count, or -1.
long list_processes(bool everyone, const scan_area &area)
{
    pid_t *pids = area.listing;
    memset(pids, 0, 2 * area.room * sizeof(pid_t));
    const long listed = everyone ? fill_listing(PROC_ALL_PIDS, 0, pids, 2 * area.room)
                                 : fill_users_listings(pids, area.room);
    if (listed < 0)
        return -1;
    std::sort(pids, pids + listed);
    return std::unique(pids, pids + listed) - pids;
}

// Examines each process of the listing that the earlier one does not name,
// and counts in vanished those that were gone by then. The members' count,
// or -1.
int examine_listed(const scan_area &area, long listed, const coalition_ids &target,
                   member_list &out, long &vanished)
{
    const pid_t self = getpid();
    int count = 0;
    vanished = 0;
    for (long i = 0, j = 0; i < listed; ++i) {
        const pid_t pid = area.listing[i];
        while (j < area.before && area.earlier[j] < pid)
            ++j;
        if ((j < area.before && area.earlier[j] == pid) || pid < 2 || pid == self)
            continue;
        const verdict v = examine(pid, target);
        if (v == verdict::failed)
            return -1;
        vanished += v == verdict::vanished ? 1 : 0;
        if (v != verdict::member)
            continue;
        if (count == member_capacity)
            return -1;
        out[static_cast<size_t>(count++)] = pid;
    }
    return count;
}

// Lists and examines processes of one reach until a member turns up or a
// pass sees none of its processes vanish (see the top of the file). The
// listing last examined is left as the area's earlier one.
int scan_until_settled(bool everyone, scan_area &area, const coalition_ids &target,
                       member_list &out)
{
    for (int pass = 0; pass < max_passes; ++pass) {
        const long listed = list_processes(everyone, area);
        if (listed < 0)
            return -1;
        long vanished = 0;
        const int count = examine_listed(area, listed, target, out, vanished);
        std::swap(area.listing, area.earlier);
        area.before = listed;
        if (count != 0 || vanished == 0)
            return count;
    }
    (void)fprintf(stderr, "coalition metadata unavailable pid=%d state=%d errno=%d\n", 0, 0, EAGAIN);
    return -1;
}

// Closes what the platform names as open in this process from lowest up,
// round after round while a round fills its buffer. false when it can't
// tell what is open.
bool close_listed_descriptors(int lowest)
{
    std::array<proc_fdinfo, descriptor_batch> fds;
    for (;;) {
        fds.fill(proc_fdinfo{});
        const int got = proc_pidinfo(getpid(), PROC_PIDLISTFDS, 0, fds.data(),
                                     static_cast<int>(sizeof fds));
        if (got < 1)
            return false;
        const size_t listed = static_cast<size_t>(got) / sizeof(proc_fdinfo);
        size_t closed = 0;
        for (size_t i = 0; i < listed && i < fds.size(); ++i)
            if (fds[i].proc_fd >= lowest && close(fds[i].proc_fd) == 0)
                ++closed;
        if (listed < fds.size())
            return true;
        // A full buffer of descriptors below lowest hides the rest.
        if (closed == 0)
            return false;
    }
}

// Every descriptor opened under the current limit lies below it; the cap
// bounds the loop when the limit is vast.
void close_up_to_limit(int lowest)
{
    constexpr rlim_t most = 1 << 16;
    rlimit limit{};
    const bool known = getrlimit(RLIMIT_NOFILE, &limit) == 0;
    const rlim_t end = known && limit.rlim_cur < most ? limit.rlim_cur : most;
    for (auto fd = static_cast<rlim_t>(lowest); fd < end; ++fd)
        close(static_cast<int>(fd));
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
    const size_t room = listing_room();
    if (room == 0)
        return -1;
    auto *pids = static_cast<pid_t *>(calloc(4 * room, sizeof(pid_t)));
    if (pids == nullptr)
        return -1;
    scan_area area{pids, pids + 2 * room, room, 0};
    int count = scan_until_settled(false, area, target, out);
    if (count == 0)
        count = scan_until_settled(true, area, target, out);
    free(pids);
    return count;
}

int is_users_process(pid_t pid)
{
    return pid >= 2 && is_live_users(pid) ? 1 : 0;
}

int checked_signal(pid_t pid, const coalition_ids &target, int sig)
{
    // Never the kernel's processes or the caller, whatever pair they show,
    // nor another user's process, which is counted but not ours to signal.
    if (pid < 2 || pid == getpid() || !is_live_users(pid))
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

// The platform takes both IDs of a pair from one counter that never hands
// out the same number twice: a pair of two equal IDs is no job's.
int is_job_pair(const coalition_ids &ids)
{
    return is_valid(ids) && ids.resource != ids.jetsam ? 1 : 0;
}

// Refuses every later ptrace attach and dtrace, whoever runs them. A guard
// already traced when it gets here is ended by the kernel, with status 45.
// It does not refuse task_for_pid: that is the system's debugging policy's
// to refuse, which in practice admits only a debugger entitled to it into a
// program signed to allow it, and the installed binary is signed with the
// hardened runtime and no such allowance.
void refuse_debuggers()
{
    (void)ptrace(PT_DENY_ATTACH, 0, nullptr, 0);
}

// There is no call that closes a range here, and a loop up to the current
// limit misses descriptors opened before the limit was lowered: close what
// the platform names as open, and loop only when it won't say.
void close_descriptors_from(int lowest)
{
    if (!close_listed_descriptors(lowest))
        close_up_to_limit(lowest);
}
