#include "coalition/coalition.h"

// The platform puts every process of a launchd job into one resource
// coalition and one jetsam coalition, and a process can't leave them, so the
// pair of coalition IDs names the job. A process is the user's when its
// effective or its real uid is: a job's process that runs a setuid-root
// program keeps the real uid, its coalitions and the user's right to signal
// it, so a scan by effective uid alone would call a job empty while it runs.
// libproc lists the user's processes both ways and tells each one's state
// and pair, through queries that check no permission: a process that the
// user may not look into must neither be missed nor fail the scan. A process
// that vanishes under a scan answers ESRCH (or ENOENT) and is skipped; any
// other failure fails the scan, since a scan that might miss a member could
// let one survive the teardown.
//
// A scan that finds no member vouches for an empty job only once a listing
// taken after every examination names no process it has not examined: a
// job's process may fork and end between a listing and its query, and the
// platform answers for it as for any gone pid, while its successor, born
// after the listing, is in no listing yet. A process that merely ended, or
// a zombie, is no news to the next listing; only a pid it had not named is.
// A job that keeps changing faster than the scan can list it fails the scan.
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
static_assert(sizeof(proc_fdinfo) == 8, "the platform's descriptor record is 8 bytes");
static_assert(offsetof(proc_fdinfo, proc_fd) == 0, "proc_fd sits at byte 0");

constexpr int coalition_info_size = static_cast<int>(sizeof(coalition_info));
constexpr int short_info_size = static_cast<int>(sizeof(proc_bsdshortinfo));
constexpr uint32_t status_zombie = SZOMB; // ended, waiting to be reaped
// Room for processes started between sizing a list and filling it.
constexpr size_t spare_entries = 1024;
// The user's processes by effective uid, then by real uid.
constexpr std::array<uint32_t, 2> listing_types{PROC_UID_ONLY, PROC_RUID_ONLY};
// How often a scan that finds nobody lists the user's processes before it
// gives up on a job that changes faster than that.
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

enum class verdict { skip, member, failed };

verdict examine(pid_t pid, const coalition_ids &target)
{
    proc_bsdshortinfo bsd;
    coalition_info info;
    if (query_short_info(pid, bsd) != short_info_size) {
        const int error = errno;
        if (is_gone(error))
            return verdict::skip;
        (void)fprintf(stderr, "bsd metadata unavailable pid=%d errno=%d\n", pid, error);
        return verdict::failed;
    }
    // The platform answers for a zombie as for a gone process; this stays
    // in case it ever reports one.
    if (bsd.pbsi_status == status_zombie)
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
                static_cast<int>(bsd.pbsi_status), error);
        return verdict::failed;
    }
    return ids == target ? verdict::member : verdict::skip;
}

// Entries to allocate for one listing: the platform's estimate (which counts
// every process) and the spare ones; 0 when the estimate fails.
size_t listing_room(uint32_t type)
{
    errno = 0;
    const int needed = proc_listpids(type, getuid(), nullptr, 0);
    if (needed < 1)
        return 0;
    const size_t room = static_cast<size_t>(needed) / sizeof(pid_t) + spare_entries;
    // The fill call takes the buffer's size as an int.
    return room > static_cast<size_t>(INT_MAX) / sizeof(pid_t) ? 0 : room;
}

// Fills one listing into pids (room entries, zeroed). The entries filled,
// or -1 when it failed or filled the buffer to the last byte, where the
// platform may have cut it short without a word.
long fill_listing(uint32_t type, pid_t *pids, size_t room)
{
    const auto size = static_cast<int>(room * sizeof(pid_t));
    errno = 0;
    const int filled = proc_listpids(type, getuid(), pids, size);
    if (filled < 1 || filled >= size)
        return -1;
    return static_cast<long>(static_cast<size_t>(filled) / sizeof(pid_t));
}

// Fills both listings into pids, one after the other, and leaves each
// process once, in pid order, at the front. The count, or -1.
long list_users_processes(pid_t *pids, const std::array<size_t, 2> &rooms)
{
    const long effective = fill_listing(listing_types[0], pids, rooms[0]);
    if (effective < 0)
        return -1;
    const long real = fill_listing(listing_types[1], pids + rooms[0], rooms[1]);
    if (real < 0)
        return -1;
    memmove(pids + effective, pids + rooms[0], static_cast<size_t>(real) * sizeof(pid_t));
    pid_t *end = pids + effective + real;
    std::sort(pids, end);
    return std::unique(pids, end) - pids;
}

// Examines each process of the listing (in pid order) that the earlier one
// (likewise) does not name, and says in fresh how many there were. The
// members' count, or -1.
int examine_listed(const pid_t *pids, long listed, const pid_t *earlier, long before,
                   const coalition_ids &target, member_list &out, long &fresh)
{
    const pid_t self = getpid();
    int count = 0;
    fresh = 0;
    for (long i = 0, j = 0; i < listed; ++i) {
        const pid_t pid = pids[i];
        while (j < before && earlier[j] < pid)
            ++j;
        if (j < before && earlier[j] == pid)
            continue;
        ++fresh;
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

// Lists and examines the user's processes until a member turns up or a
// listing names nobody new (see the top of the file). pids has room for two
// listings of area entries each.
int scan_until_settled(pid_t *pids, size_t area, const std::array<size_t, 2> &rooms,
                       const coalition_ids &target, member_list &out)
{
    pid_t *listing = pids;
    pid_t *earlier = pids + area;
    long before = 0;
    for (int pass = 0; pass < max_passes; ++pass) {
        // Zeroed before every fill, as the allocation left the first.
        if (pass > 0)
            memset(listing, 0, area * sizeof(pid_t));
        const long listed = list_users_processes(listing, rooms);
        if (listed < 0)
            return -1;
        long fresh = 0;
        const int count = examine_listed(listing, listed, earlier, before, target, out, fresh);
        if (count != 0 || fresh == 0)
            return count;
        std::swap(listing, earlier);
        before = listed;
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
    std::array<size_t, 2> rooms{};
    for (size_t i = 0; i < rooms.size(); ++i)
        if ((rooms[i] = listing_room(listing_types[i])) == 0)
            return -1;
    // Room for two listings: the one examined last and the next.
    const size_t area = rooms[0] + rooms[1];
    auto *pids = static_cast<pid_t *>(calloc(2 * area, sizeof(pid_t)));
    if (pids == nullptr)
        return -1;
    const int count = scan_until_settled(pids, area, rooms, target, out);
    free(pids);
    return count;
}

int is_users_process(pid_t pid)
{
    if (pid < 2)
        return 0;
    proc_bsdshortinfo info;
    if (query_short_info(pid, info) != short_info_size || info.pbsi_status == status_zombie)
        return 0;
    const uid_t user = getuid();
    return info.pbsi_uid == user || info.pbsi_ruid == user ? 1 : 0;
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
