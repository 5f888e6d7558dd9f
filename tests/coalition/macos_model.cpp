#include "macos_model.h"

// Citations are to the kernel's published source, xnu-11417.121.6, paths
// relative to its tree.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <libproc.h>
#include <signal.h>
#include <sys/proc_info.h>
#include <sys/ptrace.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace macos_model {

namespace {

// Process states as the BSD records report them (sys/proc.h).
constexpr uint32_t state_forking = 1; // SIDL
constexpr uint32_t state_running = 2;
constexpr uint32_t state_stopped = 4;
constexpr int coalition_flavor = 20;
// Recording must not allocate while a test measures a scan's allocations.
constexpr size_t call_reserve = 40000;
constexpr size_t pending_reserve = 1024;

table the_table;

bool all_zero(const void *buffer, int size)
{
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    for (int i = 0; i < size; ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

// A fatal signal only marks the process; it ends later, on its way back to
// user space (bsd/kern/kern_sig.c:2418-2436), and takes no other signal.
void take_signal(process &p, int sig)
{
    if (p.dying || sig == 0)
        return;
    if (sig == SIGSTOP) {
        p.state = run_state::stopped;
    } else if (sig == SIGCONT) {
        p.state = run_state::running;
    } else {
        p.dying = true;
        p.due = the_table.clock + the_table.exit_delay;
        the_table.pending.push_back(p.pid);
    }
}

// Makes the changes that are due: a killed process becomes a zombie, a
// forked one runs and takes what was sent to it meanwhile.
void advance()
{
    auto &pending = the_table.pending;
    for (size_t i = 0; i < pending.size();) {
        const auto found = the_table.processes.find(pending[i]);
        process *p = found == the_table.processes.end() ? nullptr : &found->second;
        if (p != nullptr && p->due > the_table.clock) {
            ++i;
            continue;
        }
        pending[i] = pending.back();
        pending.pop_back();
        if (p == nullptr || p->state == run_state::gone || p->state == run_state::zombie)
            continue;
        if (p->dying) {
            p->state = run_state::zombie;
        } else if (p->state == run_state::forking) {
            p->state = run_state::running;
            take_signal(*p, p->deferred_signal);
        }
    }
}

void record(call_kind kind, int what, pid_t pid, uint32_t typeinfo, int size, const void *buffer)
{
    ++the_table.clock;
    advance();
    const bool zeroed = buffer == nullptr || all_zero(buffer, size);
    const call c{kind, what, pid, typeinfo, size, buffer, zeroed, errno};
    the_table.calls.push_back(c);
    if (the_table.hook)
        the_table.hook(the_table, c);
}

// libproc's wrappers turn every failure into 0 with errno set, never -1
// (libsyscall/wrappers/libproc/libproc.c:51-53, 105-107).
int fail(int error)
{
    errno = error;
    return 0;
}

bool is_live(const process &p)
{
    return p.state == run_state::forking || p.state == run_state::running ||
           p.state == run_state::stopped;
}

template <typename visit> void each_process(visit &&f)
{
    f(the_table.caller);
    for (auto &entry : the_table.processes)
        f(entry.second);
}

bool listed_as(const process &p, uint32_t type, uint32_t typeinfo)
{
    if (type == PROC_ALL_PIDS)
        return true; // every process of every user (bsd/kern/proc_info.c:423)
    // PROC_UID_ONLY compares the effective uid (bsd/kern/proc_info.c:436-441),
    // PROC_RUID_ONLY the real one (:443-448).
    if (type == PROC_UID_ONLY)
        return p.euid == typeinfo;
    if (type == PROC_RUID_ONLY)
        return p.ruid == typeinfo;
    ADD_FAILURE() << "listing type " << type << " is never asked for";
    return false;
}

// Live processes first, then the zombies (proc_info.c:470-473); the fill
// stops once wanted entries are in (:465).
int fill_listing(uint32_t type, uint32_t typeinfo, pid_t *pids, size_t wanted)
{
    size_t n = 0;
    for (const bool zombies : {false, true})
        each_process([&](const process &p) {
            const bool in_pass = zombies ? p.state == run_state::zombie : is_live(p);
            if (in_pass && n < wanted && listed_as(p, type, typeinfo))
                pids[n++] = p.pid;
        });
    return static_cast<int>(n * sizeof(pid_t)); // :480
}

// A child just forked answers SIDL until it runs (kern_proc.c:2540;
// kern_fork.c:754).
uint32_t bsd_state(const process &p)
{
    if (p.state == run_state::forking)
        return state_forking;
    return p.state == run_state::stopped ? state_stopped : state_running;
}

int bsd_info(const process &p, void *buffer)
{
    proc_bsdinfo info{};
    info.pbi_status = bsd_state(p);
    info.pbi_pid = static_cast<uint32_t>(p.pid);
    info.pbi_uid = p.euid;
    info.pbi_ruid = p.ruid;
    info.pbi_svuid = p.svuid;
    memcpy(buffer, &info, sizeof info);
    return static_cast<int>(sizeof info);
}

int short_bsd_info(const process &p, void *buffer)
{
    proc_bsdshortinfo info{};
    info.pbsi_status = bsd_state(p);
    info.pbsi_pid = static_cast<uint32_t>(p.pid);
    info.pbsi_uid = p.euid;
    info.pbsi_ruid = p.ruid;
    info.pbsi_svuid = p.svuid;
    memcpy(buffer, &info, sizeof info);
    return static_cast<int>(sizeof info);
}

// The resource coalition, then the jetsam one, then three reserved words; a
// type the process has no coalition of reads 0 (osfmk/kern/coalition.c:1515-1525).
int coalition_info(const process &p, void *buffer)
{
    const uint64_t words[5] = {p.pair.resource, p.pair.jetsam, 0, 0, 0};
    memcpy(buffer, words, sizeof words);
    return static_cast<int>(sizeof words);
}

// The calling process's open descriptors, lowest first, cut to the buffer
// (proc_info.c:514-553); a NULL buffer gets room for the descriptor table,
// which reaches at least the highest open one, and 20 more (:521-528). The
// directory's own descriptor is not the caller's.
int list_descriptors(void *buffer, int size)
{
    if (buffer != nullptr && size < static_cast<int>(sizeof(proc_fdinfo)))
        return fail(ENOMEM);
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return fail(EIO);
    std::vector<int> fds;
    while (const dirent *entry = readdir(dir)) {
        const int fd = atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != dirfd(dir))
            fds.push_back(fd);
    }
    closedir(dir);
    std::sort(fds.begin(), fds.end());
    if (buffer == nullptr) {
        const size_t table_size = fds.empty() ? 0 : static_cast<size_t>(fds.back()) + 1;
        return static_cast<int>((table_size + 20) * sizeof(proc_fdinfo));
    }
    const size_t room = static_cast<size_t>(size) / sizeof(proc_fdinfo);
    auto *out = static_cast<proc_fdinfo *>(buffer);
    size_t n = 0;
    for (; n < fds.size() && n < room; ++n)
        out[n] = proc_fdinfo{fds[n], 0};
    return static_cast<int>(n * sizeof(proc_fdinfo));
}

int record_size(int flavor)
{
    switch (flavor) {
    case PROC_PIDTBSDINFO:
        return static_cast<int>(sizeof(proc_bsdinfo));
    case PROC_PIDT_SHORTBSDINFO:
        return static_cast<int>(sizeof(proc_bsdshortinfo));
    case coalition_flavor:
        return 40;
    case PROC_PIDLISTFDS:
        return static_cast<int>(sizeof(proc_fdinfo));
    default:
        return -1;
    }
}

} // namespace

table &model()
{
    return the_table;
}

void reset()
{
    the_table = table{};
    the_table.caller = process{0, user, user, user, caller_pair, run_state::running};
    the_table.calls.reserve(call_reserve);
    the_table.pending.reserve(pending_reserve);
}

process &add(pid_t pid, coalition_ids pair, uid_t ruid, uid_t euid, uid_t svuid)
{
    process &p = the_table.processes[pid];
    p = process{pid, ruid, euid, svuid, pair, run_state::running};
    return p;
}

process *find(pid_t pid)
{
    if (pid == getpid()) {
        the_table.caller.pid = pid;
        return &the_table.caller;
    }
    const auto found = the_table.processes.find(pid);
    return found == the_table.processes.end() ? nullptr : &found->second;
}

void start_forking(process &p)
{
    p.state = run_state::forking;
    p.due = the_table.clock + the_table.fork_delay;
    the_table.pending.push_back(p.pid);
}

void exec_setuid_root(process &p)
{
    p.euid = 0;
    p.svuid = 0;
}

int live_in(const coalition_ids &pair)
{
    int n = 0;
    for (const auto &entry : the_table.processes)
        n += is_live(entry.second) && entry.second.pair == pair ? 1 : 0;
    return n;
}

} // namespace macos_model

using namespace macos_model;

extern "C" int proc_listpids(uint32_t type, uint32_t typeinfo, void *buffer, int buffersize)
{
    record(buffer == nullptr ? call_kind::list_size : call_kind::list_fill, static_cast<int>(type),
           0, typeinfo, buffersize, buffer);
    if (the_table.listing_refusal != 0)
        return fail(the_table.listing_refusal);
    the_table.caller.pid = getpid();
    size_t nprocs = 0; // every process, zombies included, whatever the type
    each_process([&](const process &p) { nprocs += p.state != run_state::gone ? 1 : 0; });
    if (buffer == nullptr)
        return static_cast<int>((nprocs + 20) * sizeof(int)); // proc_info.c:381
    if (buffersize < static_cast<int>(sizeof(int)))
        return fail(ENOMEM); // :385-386
    // Cut silently to what fits: min(nprocs + 20, size / 4) (:388-394).
    const size_t room = static_cast<size_t>(buffersize) / sizeof(int);
    return fill_listing(type, typeinfo, static_cast<pid_t *>(buffer),
                        nprocs + 20 < room ? nprocs + 20 : room);
}

// Refused only once the flavor, the buffer and the process have passed
// (bsd/kern/proc_info.c:2155-2180, then the policy at :2211).
int refusal(pid_t pid, int flavor)
{
    const auto refused = the_table.refusals.find({pid, flavor});
    return refused == the_table.refusals.end() ? 0 : refused->second;
}

extern "C" int proc_pidinfo(int pid, int flavor, uint64_t arg, void *buffer, int buffersize)
{
    record(call_kind::pidinfo, flavor, pid, 0, buffersize, buffer);
    EXPECT_EQ(arg, 0u);
    const int size = record_size(flavor);
    if (size < 0) {
        ADD_FAILURE() << "proc_pidinfo flavor " << flavor << " is never asked for";
        return fail(EINVAL); // :2155
    }
    const bool listing_fds = flavor == PROC_PIDLISTFDS;
    // Only the descriptor list takes a NULL buffer, for its estimate.
    if ((buffer == nullptr && !listing_fds) || (buffer != nullptr && buffersize < size))
        return fail(ENOMEM); // :2159; a larger buffer is fine
    // With arg 0 a zombie is not looked up: it answers as a gone pid does,
    // ESRCH, for every flavor (:2167-2180).
    const process *p = find(pid);
    if (p == nullptr || !is_live(*p))
        return fail(ESRCH);
    if (const int error = refusal(pid, flavor); error != 0)
        return fail(error);
    if (listing_fds) {
        EXPECT_EQ(pid, getpid()) << "descriptors are only ever listed for the caller";
        return list_descriptors(buffer, buffersize);
    }
    // Of these flavors only PROC_PIDTBSDINFO checks the caller against the
    // target (:2197-2207): same effective uid (:3187), or a root caller (:3197).
    const uid_t caller_euid = the_table.caller.euid;
    if (flavor == PROC_PIDTBSDINFO && caller_euid != 0 && caller_euid != p->euid)
        return fail(EPERM);
    // On success, exactly the record's size (:2410-2416).
    if (flavor == PROC_PIDTBSDINFO)
        return bsd_info(*p, buffer);
    if (flavor == PROC_PIDT_SHORTBSDINFO)
        return short_bsd_info(*p, buffer);
    return coalition_info(*p, buffer);
}

// Takes the place of the C library's kill for the whole test program.
extern "C" int kill(pid_t pid, int sig)
{
    record(call_kind::kill, sig, pid, 0, 0, nullptr);
    process *p = pid > 0 ? find(pid) : nullptr;
    if (p == nullptr || p->state == run_state::gone) {
        errno = ESRCH;
        return -1;
    }
    // A zombie takes any signal and nothing happens (bsd/kern/kern_sig.c:1389-1394).
    if (p->state == run_state::zombie)
        return 0;
    // cansignal: root may signal anyone; anyone else needs its real or
    // effective uid to be the target's real or saved uid (kern_sig.c:338-345).
    const process &me = the_table.caller;
    const bool allowed = me.euid == 0 || me.ruid == p->ruid || me.ruid == p->svuid ||
                         me.euid == p->ruid || me.euid == p->svuid;
    if (!allowed) {
        errno = EPERM;
        return -1;
    }
    // A child not yet running takes the signal when it runs; a fatal one
    // wins over a stop.
    if (p->state == run_state::forking) {
        if (sig != 0 && (p->deferred_signal == 0 || p->deferred_signal == SIGSTOP))
            p->deferred_signal = sig;
        return 0;
    }
    take_signal(*p, sig);
    return 0;
}

// The backend's getuid is the modelled caller's real uid.
extern "C" uid_t getuid(void)
{
    return the_table.caller.ruid;
}

extern "C" int sysctlbyname(const char *name, void *oldp, size_t *oldlenp, void *newp,
                            size_t newlen)
{
    the_table.sysctl_name = name;
    the_table.sysctl_length_in = *oldlenp;
    EXPECT_TRUE(newp == nullptr && newlen == 0) << "the boot session is only read";
    if (the_table.sysctl_error != 0) {
        errno = the_table.sysctl_error;
        return -1;
    }
    // 36 characters and a NUL, or empty early in boot; a buffer too small
    // for it is refused, not filled (bsd/kern/kern_sysctl.c:2881-2883).
    const std::string &value = the_table.boot_value;
    if (*oldlenp < value.size() + 1) {
        errno = ENOMEM;
        return -1;
    }
    memcpy(oldp, value.c_str(), value.size() + 1);
    *oldlenp = value.size() + 1;
    return 0;
}

// Takes the place of the C library's ptrace too.
extern "C" int ptrace(int request, pid_t pid, caddr_t addr, int data)
{
    the_table.ptraces.push_back(std::to_string(request) + " " + std::to_string(pid) +
                                (addr == nullptr ? " null " : " set ") + std::to_string(data));
    return 0;
}
