#include "coalition/coalition.h"

// Linux has no process coalitions; a cgroup v2 group stands in for one. A
// process's pair is (C, C), C being the ID of its group: the inode number of
// the group's directory, which is also the number a pidfd and a file handle
// name the group by. Everything a job forks stays in the job's group unless
// something with write access to the cgroup tree moves it.
//
// members reads the group's own list, cgroup.procs, instead of walking /proc
// for processes that say they are in it. The kernel's list is what the group
// holds: zombies are left out, a process whose main thread exited while
// another runs is left in, and a chain that forks and exits at once never
// reads as empty, since the list's iterator meets the new tasks at the tail
// it has yet to reach. Nothing outside the group is looked at, so a scan
// costs the same on a busy machine as on an idle one.
//
// Every live process the group holds is a member, whoever's it is: a job
// that holds something the guard may not signal is not empty, and only the
// guard's exit status can tell the owner so. Whose a process is decides
// only whether it is signalled: the user's when any of its real, effective
// and saved uid is the caller's real uid. procfs gives /proc/PID the
// process's effective uid even once the process made itself non-dumpable
// (its files then belong to root), and one fstatat costs a tenth of reading
// the status file, so a scan asks that of each listed process, which also
// tells a process that has gone. Where /proc hides a process from the caller
// (hidepid), its missing entry proves nothing: a pidfd tells whether it is
// gone and, since Linux 6.13, whose it is; where the kernel can't say, the
// scan fails rather than guess. checked_signal asks a pidfd for the
// process's uids and group in one call where the kernel can answer both.
//
// Groups below the job's group exist only where someone split the job or the
// job could write its own group, which breaks what the guard relies on. The
// processes there count as members, so such a job is never called cleaned;
// they carry another pair, so the check before each signal leaves them
// alone, and the owner learns of them from the guard's exit status.
//
// The two diagnostics keep their meaning as far as Linux allows: "bsd
// metadata unavailable" when a listed process's owner can't be learned,
// "coalition metadata unavailable" (pid and state 0) when what the group
// holds can't be read: the hierarchy, /proc, the search for the group or one
// group's list.

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int group_open_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// How far below the hierarchy's root the search for a group goes, and below
// the job's group the listing; a group beyond fails the scan, since what it
// holds would go unseen.
constexpr int max_group_depth = 64;
constexpr size_t list_chunk_size = 16384;
constexpr size_t path_size = 4096;
// Room for "0::" and a path of PATH_MAX bytes; longer lines are skipped.
constexpr size_t line_size = 4608;
// The ID of the root of the whole hierarchy, as opposed to that of a
// cgroup namespace's subtree.
constexpr uint64_t hierarchy_root_id = 1;
// A file system that should be the cgroup2 one and is not.
constexpr int not_cgroup2 = EMEDIUMTYPE;
// A scan that has failed and said why, or must fail without a word.
constexpr int scan_failed = -1;

// How often a scan reads a job's lists before it gives up on one that
// changes faster than it can be read (see list_members).
constexpr int max_passes = 4;

struct scan {
    int proc_fd;
    uid_t uid;
    pid_t self;
    member_list *out;
    int count;
    bool vanished; // a listed process was gone before its owner was known
};

enum class owner { user, other, gone, unknown };

// The steps the queries take, defined below in this order.
int open_cgroup_hierarchy();
int open_group(int hierarchy, uint64_t id, int &fd);
int list_members(scan &s, int group);
int open_pidfd(pid_t pid);
owner whose(int proc_fd, uid_t user, pid_t pid, int &error);
bool read_group_id(int pidfd, pid_t pid, uint64_t &id);
bool is_users_member(int pidfd, pid_t pid, const coalition_ids &target);
int deliver(int pidfd, pid_t pid, int sig);

} // namespace

int members(const coalition_ids &target, member_list &out)
{
    // Only a pair of two equal IDs names a group here; any other has no member.
    if (!is_valid(target) || target.resource != target.jetsam)
        return 0;
    scan s{-1, getuid(), getpid(), &out, 0, false};
    const int hierarchy = open_cgroup_hierarchy();
    int error = hierarchy < 0 ? errno : 0;
    s.proc_fd = open("/proc", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (error == 0 && s.proc_fd < 0)
        error = errno;
    int group = -1;
    if (error == 0)
        error = open_group(hierarchy, target.resource, group);
    if (error == 0 && group >= 0) {
        error = list_members(s, group);
        close(group);
    }
    if (error > 0)
        (void)fprintf(stderr, "coalition metadata unavailable pid=%d state=%d errno=%d\n", 0, 0,
                      error);
    if (hierarchy >= 0)
        close(hierarchy);
    if (s.proc_fd >= 0)
        close(s.proc_fd);
    return error == 0 ? s.count : -1;
}

int identity(pid_t pid, coalition_ids *out)
{
    // A thread's ID opens no pidfd, but procfs still names its group.
    const int pidfd = open_pidfd(pid);
    if (pidfd < 0 && errno != ENOSYS && errno != EINVAL)
        return 0;
    uint64_t id = 0;
    const bool known = read_group_id(pidfd, pid, id);
    if (pidfd >= 0)
        close(pidfd);
    if (!known)
        return 0;
    *out = {id, id};
    return 1;
}

int is_users_process(pid_t pid)
{
    // Never the kernel's processes, which no scan lists either.
    if (pid < 2)
        return 0;
    const int proc_fd = open("/proc", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (proc_fd < 0)
        return 0;
    int error = 0;
    const owner o = whose(proc_fd, getuid(), pid, error);
    close(proc_fd);
    return o == owner::user ? 1 : 0;
}

int checked_signal(pid_t pid, const coalition_ids &target, int sig)
{
    if (pid < 2 || pid == getpid())
        return 0;
    // The pidfd pins the process: once it is open, the pid can't pass to a
    // newcomer unnoticed. A signal that the pidfd delivers after the pair
    // was read reaches the very process whose pair was read, since that
    // process held the pid throughout.
    const int pidfd = open_pidfd(pid);
    if (pidfd < 0 && errno != ENOSYS)
        return 0;
    const int result = is_users_member(pidfd, pid, target) ? deliver(pidfd, pid, sig) : 0;
    if (pidfd >= 0)
        close(pidfd);
    return result;
}

int read_boot_session(boot_session_id &out)
{
    out.fill('\0');
    const int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t got;
    do
        got = read(fd, out.data(), out.size());
    while (got < 0 && errno == EINTR);
    close(fd);
    if (got <= 0)
        return 0;
    auto length = static_cast<size_t>(got);
    if (out[length - 1] == '\n')
        --length;
    // The identifier and its terminating NUL must both fit.
    if (length == 0 || length >= out.size()) {
        out.fill('\0');
        return 0;
    }
    out[length] = '\0';
    return 1;
}

int is_job_pair(const coalition_ids &ids)
{
    // Only two equal IDs name a group.
    if (!is_valid(ids) || ids.resource != ids.jetsam || ids.resource == hierarchy_root_id)
        return 0;
    // The root of the hierarchy this process sees holds every process
    // nobody placed in a group, other users' work among them: never a job.
    const int hierarchy = open_cgroup_hierarchy();
    struct stat st;
    const bool known = hierarchy >= 0 && fstat(hierarchy, &st) == 0;
    if (hierarchy >= 0)
        close(hierarchy);
    return known && st.st_ino != ids.resource ? 1 : 0;
}

// Not dumpable, the process can't be attached to by its own user, and its
// /proc files (its descriptors among them) belong to root.
void refuse_debuggers()
{
    (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

void close_descriptors_from(int lowest)
{
    if (syscall(SYS_close_range, static_cast<unsigned>(lowest), ~0U, 0) == 0 || errno != ENOSYS)
        return;
    // Kernels before 5.9: every descriptor opened under the current limit
    // lies below it; the cap bounds the loop when the limit is vast.
    constexpr rlim_t most = 1 << 16;
    rlimit limit{};
    const bool known = getrlimit(RLIMIT_NOFILE, &limit) == 0;
    const rlim_t end = known && limit.rlim_cur < most ? limit.rlim_cur : most;
    for (auto fd = static_cast<rlim_t>(lowest); fd < end; ++fd)
        close(static_cast<int>(fd));
}

namespace {

// ------------------------------------------------------- the cgroup2 hierarchy

// Reads a file a line at a time through a fixed buffer; a line too long for
// the buffer is skipped whole.
struct line_reader {
    int fd;
    size_t begin;
    size_t end;
    bool eof;
    bool skipping;
    std::array<char, line_size> buf;
};

int refill(line_reader &r)
{
    if (r.begin == 0 && r.end == r.buf.size()) {
        r.skipping = true;
        r.end = 0;
    }
    memmove(r.buf.data(), r.buf.data() + r.begin, r.end - r.begin);
    r.end -= r.begin;
    r.begin = 0;
    for (;;) {
        const ssize_t got = read(r.fd, r.buf.data() + r.end, r.buf.size() - r.end);
        if (got >= 0) {
            r.eof = got == 0;
            r.end += static_cast<size_t>(got);
            return 0;
        }
        if (errno != EINTR)
            return errno;
    }
}

// True with the next line; false at the end of the file or when reading it
// failed.
bool next_line(line_reader &r, std::string_view &line)
{
    for (;;) {
        const char *const base = r.buf.data();
        const auto *newline = static_cast<const char *>(memchr(base + r.begin, '\n', r.end - r.begin));
        if (newline != nullptr || (r.eof && r.begin < r.end)) {
            const size_t stop = newline != nullptr ? static_cast<size_t>(newline - base) : r.end;
            line = {base + r.begin, stop - r.begin};
            r.begin = newline != nullptr ? stop + 1 : stop;
            const bool keep = !r.skipping;
            r.skipping = false;
            if (keep)
                return true;
        } else if (r.eof || refill(r) != 0) {
            return false;
        }
    }
}

bool open_lines(line_reader &r, const char *path)
{
    r.begin = r.end = 0;
    r.eof = r.skipping = false;
    r.fd = open(path, O_RDONLY | O_CLOEXEC);
    return r.fd >= 0;
}

// The rest of the line of /proc/PID/name that begins with prefix, read
// through r, which holds its text; the caller closes r.fd when it is open.
// 0, the errno value of an open that failed, or ENODATA where no line begins
// so (or the file could not be read to its end).
int find_proc_line(pid_t pid, const char *name, std::string_view prefix, line_reader &r,
                   std::string_view &rest)
{
    std::array<char, 48> path{};
    (void)snprintf(path.data(), path.size(), "/proc/%d/%s", pid, name);
    if (!open_lines(r, path.data()))
        return errno;
    std::string_view line;
    while (next_line(r, line)) {
        if (line.substr(0, prefix.size()) == prefix) {
            rest = line.substr(prefix.size());
            return 0;
        }
    }
    return ENODATA;
}

bool is_octal(char c)
{
    return c >= '0' && c <= '7';
}

// Mount points in mountinfo escape space, tab, newline and backslash as
// three octal digits.
bool unescape_path(std::string_view text, std::array<char, path_size> &out)
{
    size_t n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && text.size() - i > 3 && is_octal(text[i + 1]) && is_octal(text[i + 2]) &&
            is_octal(text[i + 3])) {
            c = static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) |
                                  (text[i + 3] - '0'));
            i += 3;
        }
        if (n + 1 >= out.size())
            return false;
        out[n++] = c;
    }
    out[n] = '\0';
    return true;
}

std::string_view take_field(std::string_view &rest)
{
    const size_t space = rest.find(' ');
    const std::string_view field = rest.substr(0, space);
    rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
    return field;
}

// The mount point of the whole cgroup2 hierarchy, from one mountinfo line:
// "id parent dev root mount-point options [optional...] - fstype source ...".
// A mount of a subtree would put the groups under another root.
bool cgroup2_mount_point(std::string_view line, std::array<char, path_size> &out)
{
    const size_t dash = line.find(" - ");
    if (dash == std::string_view::npos || line.substr(dash + 3, 8) != "cgroup2 ")
        return false;
    std::string_view rest = line.substr(0, dash);
    for (int i = 0; i < 3; ++i)
        take_field(rest);
    return take_field(rest) == "/" && unescape_path(take_field(rest), out);
}

// 0 when fd lies on a cgroup2 file system; not_cgroup2 when something else
// is mounted there, which would hide the groups below; or an errno value.
int check_cgroup2(int fd)
{
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0)
        return errno;
    return fs.f_type == CGROUP2_SUPER_MAGIC ? 0 : not_cgroup2;
}

// The root of the cgroup2 hierarchy, as mountinfo names it and checked to be
// one: a lookup in anything else that finds no group would pass for a job
// that is gone. A descriptor, or -1 with errno set.
int open_cgroup_hierarchy()
{
    line_reader r;
    if (!open_lines(r, "/proc/self/mountinfo"))
        return -1;
    std::array<char, path_size> mount{};
    std::string_view line;
    bool found = false;
    while (!found && next_line(r, line))
        found = cgroup2_mount_point(line, mount);
    close(r.fd);
    const int fd = found ? open(mount.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (!found)
        errno = ENOENT;
    const int error = fd < 0 ? errno : check_cgroup2(fd);
    if (error == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    errno = error;
    return -1;
}

// ----------------------------------------------------------- finding a group

// A group's files fail with these once the group has been removed; and a
// group is removed only once it is empty.
bool group_gone(int error)
{
    return error == ENOENT || error == ENODEV;
}

bool names_group(const dirent &entry)
{
    const std::string_view name = entry.d_name;
    return (entry.d_type == DT_DIR || entry.d_type == DT_UNKNOWN) && name != "." && name != "..";
}

// The next group directly below the one stream lists, which lies depth
// levels below where the walk began: 0 with it open in fd and its ID in id,
// fd -1 once there are no more; or an errno value (ELOOP for a group too deep
// to enter), with passable set when it concerns that one entry alone and the
// stream can go on past it.
int next_child(DIR *stream, int depth, int &fd, uint64_t &id, bool &passable)
{
    fd = -1;
    passable = false;
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(stream);
        if (entry == nullptr)
            return errno == 0 || group_gone(errno) ? 0 : errno;
        if (!names_group(*entry))
            continue;
        passable = true;
        if (depth == max_group_depth)
            return ELOOP;
        fd = openat(dirfd(stream), entry->d_name, group_open_flags);
        if (fd < 0 && (errno == ENOENT || errno == ENOTDIR))
            continue;
        if (fd < 0)
            return errno;
        id = entry->d_ino;
        const int error = check_cgroup2(fd);
        if (error != 0) {
            close(fd);
            fd = -1;
        }
        return error;
    }
}

// A stream over dir's entries, which takes dir over; nullptr with dir closed
// and errno set.
DIR *list_entries(int dir)
{
    DIR *stream = fdopendir(dir);
    if (stream == nullptr) {
        const int error = errno;
        close(dir);
        errno = error;
    }
    return stream;
}

// Searches depth-first below dir, which lies depth levels below the root and
// is taken over, for the group whose ID is id; each entry carries its inode
// number, so nothing is stat'ed. Leaves the group open in found, or found -1.
// A part of the tree it can't search (a directory it may not read, groups
// too deep) leaves its errno value in blind and the search goes on: another
// user's odd groups elsewhere must not keep a job from being found, but a
// group not found while part of the tree went unseen may be there.
void search_group(int dir, uint64_t id, int depth, int &found, int &blind)
{
    DIR *stream = list_entries(dir);
    if (stream == nullptr) {
        blind = errno;
        return;
    }
    while (found < 0) {
        int child = -1;
        uint64_t child_id = 0;
        bool passable = false;
        const int error = next_child(stream, depth, child, child_id, passable);
        if (error != 0)
            blind = error;
        if (error != 0 && passable)
            continue;
        if (error != 0 || child < 0)
            break;
        if (child_id == id)
            found = child;
        else
            search_group(child, id, depth + 1, found, blind);
    }
    closedir(stream);
}

// A file handle of the cgroup2 file system: the group's 64-bit ID.
struct group_handle {
    unsigned int handle_bytes;
    int handle_type;
    uint64_t id;
};
static_assert(offsetof(group_handle, id) == sizeof(file_handle), "the ID is the handle's payload");
constexpr int fileid_kernfs = 0xfe;

// Opens the group by its ID, which only a privileged caller may: 0 with it
// open in fd, fd -1 when no such group exists; or an errno value.
int open_by_id(int hierarchy, uint64_t id, int &fd)
{
    group_handle handle{sizeof id, fileid_kernfs, id};
    fd = open_by_handle_at(hierarchy, reinterpret_cast<file_handle *>(&handle),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 || errno == ESTALE || errno == ENOENT || errno == ENOTDIR)
        return 0;
    return errno;
}

// Where the caller may not open a group by its handle, it searches instead.
bool refused(int error)
{
    return error == EPERM || error == ENOSYS || error == EOPNOTSUPP;
}

// Opens the group whose ID is id: directly when it is the root group, by its
// handle where the caller may, else by a search. 0 with it open in fd, fd -1
// when no such group exists; or an errno value.
int find_group(int hierarchy, uint64_t root_id, uint64_t id, int &fd)
{
    if (id == root_id) {
        fd = openat(hierarchy, ".", group_open_flags);
        return fd < 0 ? errno : 0;
    }
    const int error = open_by_id(hierarchy, id, fd);
    if (!refused(error))
        return error;
    const int top = openat(hierarchy, ".", group_open_flags);
    if (top < 0)
        return errno;
    int blind = 0;
    search_group(top, id, 0, fd, blind);
    if (fd >= 0)
        return 0;
    if (blind != 0)
        return blind;
    // A mount inside a cgroup namespace shows only the namespace's subtree:
    // a group not found there may lie outside it, where this process can't
    // look, and that is no sign of a job gone.
    return root_id == hierarchy_root_id ? 0 : EXDEV;
}

// The directory of the group whose ID is id: 0 with it open in fd, fd -1
// when the group is gone; or an errno value.
int open_group(int hierarchy, uint64_t id, int &fd)
{
    fd = -1;
    struct stat st;
    if (fstat(hierarchy, &st) != 0)
        return errno;
    int error = find_group(hierarchy, st.st_ino, id, fd);
    if (error != 0 || fd < 0)
        return error;
    // The name a search went by may name a newer group by now.
    error = fstat(fd, &st) != 0 ? errno : check_cgroup2(fd);
    if (error == 0 && st.st_ino == id)
        return 0;
    close(fd);
    fd = -1;
    return error;
}

// ------------------------------------------------------- listing the members

// What a pidfd tells about its process (Linux 6.13 and later), in the layout
// the kernel first published; later kernels still accept it. Newer C library
// headers declare it, ours may not.
// A group's ID is its directory's inode number, which a pidfd reports in
// full and stat must too: a narrower inode number would never match.
static_assert(sizeof(ino_t) == sizeof(uint64_t), "inode numbers are the groups' 64-bit IDs");

struct pidfd_info {
    uint64_t mask;
    uint64_t cgroupid;
    uint32_t ids[11]; // pid, tgid, ppid, then uid and gid: real, effective, saved, fs
    int32_t exit_code;
};
static_assert(sizeof(pidfd_info) == 64, "the kernel's first pidfd_info is 64 bytes");
static_assert(offsetof(pidfd_info, ids) + 5 * sizeof(uint32_t) == 36, "the effective uid's offset");
constexpr uint64_t pidfd_info_creds = 1U << 1;
constexpr uint64_t pidfd_info_cgroupid = 1U << 2;
constexpr size_t real_uid_index = 3;
constexpr size_t effective_uid_index = 5;
constexpr size_t saved_uid_index = 7;
constexpr unsigned long pidfd_get_info = _IOWR(0xFF, 11, pidfd_info);

// 0 with what was asked for in info; ENOTTY or EINVAL where the kernel can't
// answer that way, ESRCH when the process is gone, or another errno value.
int ask_pidfd(int pidfd, uint64_t wanted, pidfd_info &info)
{
    info = {};
    info.mask = wanted;
    if (ioctl(pidfd, pidfd_get_info, &info) != 0)
        return errno;
    return (info.mask & wanted) == wanted ? 0 : ENOTTY;
}

int open_pidfd(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// The real, effective and saved uid of a process.
using process_uids = std::array<uid_t, 3>;

process_uids uids_of(const pidfd_info &info)
{
    return {info.ids[real_uid_index], info.ids[effective_uid_index], info.ids[saved_uid_index]};
}

bool holds(const process_uids &uids, uid_t user)
{
    return uids[0] == user || uids[1] == user || uids[2] == user;
}

// A listed process's uids, asked of its pidfd: 0, ESRCH when it is gone, or
// the errno value of a kernel that can't say (ENOTTY, EINVAL before 6.13).
int pidfd_uids(pid_t pid, process_uids &uids)
{
    const int pidfd = open_pidfd(pid);
    if (pidfd < 0)
        return errno;
    pidfd_info info;
    const int error = ask_pidfd(pidfd, pidfd_info_creds, info);
    close(pidfd);
    uids = uids_of(info);
    return error;
}

// The first three numbers of a "Uid:" line: real, effective, saved.
bool parse_uids(std::string_view text, process_uids &uids)
{
    for (uid_t &uid : uids) {
        const size_t start = text.find_first_not_of("\t ");
        if (start == std::string_view::npos || text[start] < '0' || text[start] > '9')
            return false;
        uint64_t value = 0;
        size_t i = start;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && value <= UINT32_MAX; ++i)
            value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > UINT32_MAX)
            return false;
        uid = static_cast<uid_t>(value);
        text.remove_prefix(i);
    }
    return true;
}

// The same from /proc/PID/status, for kernels whose pidfds can't say.
int status_uids(pid_t pid, process_uids &uids)
{
    line_reader r;
    std::string_view rest;
    const int error = find_proc_line(pid, "status", "Uid:", r, rest);
    const bool parsed = error == 0 && parse_uids(rest, uids);
    if (r.fd >= 0)
        close(r.fd);
    if (parsed)
        return 0;
    if (error != 0 && error != ENODATA)
        return error == ENOENT ? ESRCH : error;
    // Nothing to read is what a process that just ended leaves.
    return kill(pid, 0) != 0 && errno == ESRCH ? ESRCH : EIO;
}

// Whose the process is: the user's when any of its real, effective and
// saved uid is the user's. The owner of /proc/PID is the effective one, one
// fstatat for the common case. A process owned by another uid may still
// carry the user's real or saved uid (a setuid program the job ran): the
// user may signal it, and it may turn back into the user's at any moment, so
// it is the job's to take down. One that /proc hides (hidepid) is asked
// through its pidfd. unknown, with the errno value in error, when none of
// this can be told.
owner whose(int proc_fd, uid_t user, pid_t pid, int &error)
{
    std::array<char, 16> name{};
    (void)snprintf(name.data(), name.size(), "%d", pid);
    struct stat st;
    const bool shown = fstatat(proc_fd, name.data(), &st, 0) == 0;
    if (shown && st.st_uid == user)
        return owner::user;
    if (!shown && errno != ENOENT) {
        error = errno;
        return owner::unknown;
    }
    process_uids uids{};
    error = pidfd_uids(pid, uids);
    if (shown && (error == ENOTTY || error == EINVAL || error == ENOSYS))
        error = status_uids(pid, uids);
    if (error == ESRCH)
        return owner::gone;
    if (error != 0)
        return owner::unknown;
    return holds(uids, user) ? owner::user : owner::other;
}

// The same for a listed process, saying why when it can't be told.
owner owner_of(const scan &s, pid_t pid)
{
    int error = 0;
    const owner o = whose(s.proc_fd, s.uid, pid, error);
    if (o == owner::unknown)
        (void)fprintf(stderr, "bsd metadata unavailable pid=%d errno=%d\n", pid, error);
    return o;
}

// 0, or scan_failed when the list would outgrow member_capacity or the
// process's owner, and so whether it lives, can't be learned.
int take_process(scan &s, pid_t pid)
{
    // The list names 0 a process that is past the point of having a pid
    // (it is on its way out), and one outside the caller's pid namespace,
    // which can be neither told apart nor signalled from here. Neither can
    // vouch for an empty job: it counts as vanished, so a list that keeps
    // naming 0 and nobody else fails the scan (see list_members).
    if (pid == 0) {
        s.vanished = true;
        return 0;
    }
    if (pid < 2 || pid == s.self)
        return 0;
    const owner o = owner_of(s, pid);
    if (o == owner::unknown)
        return scan_failed;
    if (o == owner::gone) {
        s.vanished = true;
        return 0;
    }
    if (s.count == member_capacity)
        return scan_failed;
    (*s.out)[static_cast<size_t>(s.count++)] = pid;
    return 0;
}

// A decimal pid that may span two reads of the list.
struct pending_pid {
    uint32_t value;
    bool digits;
};

// Takes every pid that ends in chunk: 0, EINVAL for text that is no list of
// pids, or scan_failed.
int take_listed(scan &s, std::string_view chunk, pending_pid &p)
{
    for (const char c : chunk) {
        if (c >= '0' && c <= '9' && p.value <= (INT32_MAX - 9) / 10) {
            p.value = p.value * 10 + static_cast<uint32_t>(c - '0');
            p.digits = true;
            continue;
        }
        if (c != '\n' || !p.digits)
            return EINVAL;
        const int result = take_process(s, static_cast<pid_t>(p.value));
        if (result != 0)
            return result;
        p = {0, false};
    }
    return 0;
}

// Takes the live processes from the group's own list: 0, an errno value, or
// scan_failed. A group removed while it is read held nobody.
int list_group(scan &s, int group)
{
    const int fd = openat(group, "cgroup.procs", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return group_gone(errno) ? 0 : errno;
    const int before = s.count;
    std::array<char, list_chunk_size> chunk;
    pending_pid p{0, false};
    int error = 0;
    for (;;) {
        const ssize_t got = read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            error = got < 0 ? errno : p.digits ? EINVAL : 0;
            break;
        }
        error = take_listed(s, {chunk.data(), static_cast<size_t>(got)}, p);
        if (error != 0)
            break;
    }
    close(fd);
    if (!group_gone(error))
        return error;
    s.count = before;
    return 0;
}

// Takes the live processes from group and from every group below it, down
// to max_group_depth levels; takes group over. 0, an errno value, or
// scan_failed.
int list_subtree(scan &s, int group, int depth)
{
    const int error = list_group(s, group);
    if (error != 0) {
        close(group);
        return error;
    }
    DIR *stream = list_entries(group);
    if (stream == nullptr)
        return errno;
    int result = 0;
    while (result == 0) {
        int child = -1;
        uint64_t id = 0;
        bool passable = false;
        result = next_child(stream, depth, child, id, passable);
        if (result != 0 || child < 0)
            break;
        result = list_subtree(s, child, depth + 1);
    }
    closedir(stream);
    return result;
}

// A listed process that is gone by the time its owner is asked may have
// forked first, and its child joined the list after it was read: a pass that
// found nobody but saw someone vanish can't vouch for an empty job, so the
// lists are read again. A job that keeps changing faster than that fails the
// scan. 0, an errno value, or scan_failed.
int list_members(scan &s, int group)
{
    for (int pass = 0; pass < max_passes; ++pass) {
        s.count = 0;
        s.vanished = false;
        // A descriptor of its own, which lists the group from the start.
        const int fd = openat(group, ".", group_open_flags);
        if (fd < 0)
            return group_gone(errno) ? 0 : errno;
        const int error = list_subtree(s, fd, 0);
        if (error != 0 || s.count > 0 || !s.vanished)
            return error;
    }
    return EAGAIN;
}

// ----------------------------------------------------- one process's group

// The ID of the group at path, as /proc/PID/cgroup gives it: from the root of
// this process's cgroup namespace. Only a path whose first component is ".."
// lies outside that namespace, where this process can't see; a group whose
// name merely begins with ".." lies inside.
bool resolve_group(std::string_view path, uint64_t &id)
{
    // "." before the path and the terminator after it must fit.
    if (path.empty() || path[0] != '/' || path.size() + 2 > path_size)
        return false;
    if (path == "/.." || path.substr(0, 4) == "/../")
        return false;
    std::array<char, path_size> relative{};
    relative[0] = '.';
    memcpy(relative.data() + 1, path.data(), path.size());
    const int hierarchy = open_cgroup_hierarchy();
    const int group = hierarchy < 0 ? -1 : openat(hierarchy, relative.data(), group_open_flags);
    struct stat st;
    // A file system mounted over the group would lend it another ID.
    const bool found = group >= 0 && check_cgroup2(group) == 0 && fstat(group, &st) == 0;
    if (found)
        id = st.st_ino;
    if (group >= 0)
        close(group);
    if (hierarchy >= 0)
        close(hierarchy);
    return found;
}

// The ID of pid's group from the "0::" line of /proc/PID/cgroup.
bool group_from_procfs(pid_t pid, uint64_t &id)
{
    line_reader r;
    std::string_view rest;
    const bool found = find_proc_line(pid, "cgroup", "0::", r, rest) == 0 && resolve_group(rest, id);
    if (r.fd >= 0)
        close(r.fd);
    return found;
}

// The ID of pid's group, asked of its pidfd where the kernel can answer (one
// call instead of producing and parsing procfs text and looking the group's
// directory up), read from procfs where it can't. False when the process is
// gone or its group can't be told.
bool read_group_id(int pidfd, pid_t pid, uint64_t &id)
{
    pidfd_info info;
    const int error = pidfd >= 0 ? ask_pidfd(pidfd, pidfd_info_cgroupid, info) : ENOSYS;
    if (error == 0) {
        id = info.cgroupid;
        return id != 0;
    }
    if (error != ENOTTY && error != EINVAL && error != ENOSYS)
        return false;
    return group_from_procfs(pid, id) && id != 0;
}

// Whether pid is the user's, by the rule whose() applies, and in target's
// group. One question to its pidfd where the kernel answers both (Linux
// 6.13), so the check costs no more than the group alone; else the group is
// read as identity() reads it and the owner as a scan learns it. The uids
// may change after the answer, but only by the process's own exec or
// setuid, which the user it was allowed to signal set off.
bool is_users_member(int pidfd, pid_t pid, const coalition_ids &target)
{
    pidfd_info info;
    const int error = pidfd >= 0 ? ask_pidfd(pidfd, pidfd_info_creds | pidfd_info_cgroupid, info)
                                 : ENOSYS;
    const uid_t user = getuid();
    if (error == 0)
        return holds(uids_of(info), user) && info.cgroupid != 0 &&
               coalition_ids{info.cgroupid, info.cgroupid} == target;
    if (error != ENOTTY && error != EINVAL && error != ENOSYS)
        return false;
    uint64_t id = 0;
    return group_from_procfs(pid, id) && id != 0 && coalition_ids{id, id} == target &&
           is_users_process(pid) == 1;
}

// 1 when sig reached the process or it was already gone; 0 otherwise.
int deliver(int pidfd, pid_t pid, int sig)
{
    int result = -1;
    if (pidfd >= 0)
        result = static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
    if (pidfd < 0 || (result != 0 && errno == ENOSYS))
        result = kill(pid, sig);
    return result == 0 || errno == ESRCH ? 1 : 0;
}

} // namespace
