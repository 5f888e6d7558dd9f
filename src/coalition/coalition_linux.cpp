#include "coalition/coalition.h"

// Linux has no process coalitions; a cgroup v2 group stands in for one. A
// process's pair is (C, C), C being the inode number of its cgroup's
// directory under the cgroup2 mount. Everything a job forks stays in the
// job's group unless something with write access to the tree above moves it,
// so the group marks the job as soundly as a coalition does, as long as the
// group is not delegated to the job's own user.
//
// The scan is the guard's hot path: each round lists every process on the
// machine. A process outside the target's group costs one question to its
// pidfd (or, on older kernels, one small read of its cgroup file); only
// candidates pay for the larger status file, which holds the owner, the
// state and the thread count. The set returned is the one that checking
// owner and state first would give. Nothing is allocated per process: every
// buffer is fixed and lives on the stack of one call.

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Room for "0::" and a path of PATH_MAX bytes, and for a whole status line
// of interest; longer lines are dropped by the reader.
constexpr size_t line_buffer_size = 4608;
constexpr size_t path_size = 4096;
constexpr size_t cache_entries = 64;
constexpr size_t cache_text_size = 8192;
constexpr size_t dents_size = 16384;
constexpr int group_open_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// cgroup v2 nests no deeper than this in practice; a deeper group is not
// searched for and so reads as gone.
constexpr int max_group_depth = 64;
constexpr int confirm_attempts = 3;

// The macOS process states that the diagnostics report, so that one log
// reads the same on either platform.
constexpr int state_running = 2;
constexpr int state_sleeping = 3;
constexpr int state_stopped = 4;
constexpr int state_zombie = 5;

// Reads a file one line at a time through a fixed buffer. A line longer than
// the buffer is dropped whole and remembered in cut.
struct line_reader {
    int fd;
    size_t begin;
    size_t end;
    size_t total;
    bool eof;
    bool discarding;
    bool cut;
    int error;
    std::array<char, line_buffer_size> buf;
};

enum class next_result { line, end, failed };

// Moves what is pending to the front and reads more behind it.
bool refill(line_reader &r)
{
    char *const base = r.buf.data();
    const size_t pending = r.end - r.begin;
    if (r.discarding || pending == r.buf.size()) {
        r.cut = r.cut || !r.discarding;
        r.discarding = true;
        r.begin = r.end = 0;
    } else if (r.begin > 0) {
        memmove(base, base + r.begin, pending);
        r.begin = 0;
        r.end = pending;
    }
    for (;;) {
        const ssize_t got = read(r.fd, base + r.end, r.buf.size() - r.end);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            r.error = errno;
            return false;
        }
        r.eof = got == 0;
        r.end += static_cast<size_t>(got);
        r.total += static_cast<size_t>(got);
        return true;
    }
}

next_result next_line(line_reader &r, std::string_view &line)
{
    for (;;) {
        char *const base = r.buf.data();
        const size_t pending = r.end - r.begin;
        const auto *newline = static_cast<const char *>(memchr(base + r.begin, '\n', pending));
        if (newline != nullptr) {
            const auto at = static_cast<size_t>(newline - base);
            const bool keep = !r.discarding;
            line = {base + r.begin, at - r.begin};
            r.discarding = false;
            r.begin = at + 1;
            if (keep)
                return next_result::line;
            continue;
        }
        if (r.eof) {
            r.begin = r.end;
            if (pending == 0 || r.discarding)
                return next_result::end;
            line = {base + r.end - pending, pending};
            return next_result::line;
        }
        if (!refill(r))
            return next_result::failed;
    }
}

void open_reader(line_reader &r, int dir_fd, const char *name)
{
    r.begin = r.end = r.total = 0;
    r.eof = r.discarding = r.cut = false;
    r.error = 0;
    r.fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC);
    if (r.fd < 0)
        r.error = errno;
}

void close_reader(line_reader &r)
{
    if (r.fd >= 0)
        close(r.fd);
    r.fd = -1;
}

bool is_gone(int error)
{
    return error == ENOENT || error == ESRCH;
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

// Splits off the next space-separated field of a mountinfo line.
std::string_view take_field(std::string_view &rest)
{
    const size_t space = rest.find(' ');
    const std::string_view field = rest.substr(0, space);
    rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
    return field;
}

// The mount point of the whole cgroup2 hierarchy, from one mountinfo line:
// "id parent dev root mount-point options [optional...] - fstype source ...".
bool cgroup2_mount_point(std::string_view line, std::array<char, path_size> &out)
{
    const size_t dash = line.find(" - ");
    if (dash == std::string_view::npos || line.substr(dash + 3).substr(0, 8) != "cgroup2 ")
        return false;
    std::string_view rest = line.substr(0, dash);
    for (int i = 0; i < 3; ++i)
        take_field(rest);
    // A mount of a subtree would put the groups' paths under another root.
    if (take_field(rest) != "/")
        return false;
    return unescape_path(take_field(rest), out);
}

// Whether a mountinfo line mounts procfs at /proc, and if so whether with
// hidepid: then the scan can't see, or can't read, the user's own
// non-dumpable processes, and a member could escape it unnoticed.
bool proc_mount(std::string_view line, bool &hides)
{
    const size_t dash = line.find(" - ");
    if (dash == std::string_view::npos)
        return false;
    std::string_view rest = line.substr(0, dash);
    for (int i = 0; i < 4; ++i)
        take_field(rest);
    std::string_view tail = line.substr(dash + 3);
    if (take_field(rest) != "/proc" || take_field(tail) != "proc")
        return false;
    take_field(tail);
    const size_t at = tail.find("hidepid=");
    const std::string_view value =
        at == std::string_view::npos ? "0" : tail.substr(at + 8, tail.find(',', at) - (at + 8));
    hides = value != "0" && value != "off";
    return true;
}

struct mounts {
    int cgroup_root_fd; // the root of the cgroup2 hierarchy, or -1
    bool proc_hides;    // the visible /proc hides processes
};

mounts open_mounts()
{
    mounts m{-1, false};
    line_reader r;
    open_reader(r, AT_FDCWD, "/proc/self/mountinfo");
    if (r.fd < 0)
        return m;
    std::array<char, path_size> mount{};
    std::string_view line;
    bool hides = false;
    // The last /proc mount listed is the one on top.
    while (next_line(r, line) == next_result::line) {
        if (proc_mount(line, hides))
            m.proc_hides = hides;
        else if (m.cgroup_root_fd < 0 && cgroup2_mount_point(line, mount))
            m.cgroup_root_fd = open(mount.data(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    close_reader(r);
    return m;
}

// Formats "PID/name" for openat under /proc.
bool proc_file_name(pid_t pid, const char *name, std::array<char, 32> &out)
{
    const int n = snprintf(out.data(), out.size(), "%d/%s", pid, name);
    return n > 0 && static_cast<size_t>(n) < out.size();
}

// The path of pid's cgroup relative to the hierarchy's root, from the "0::"
// line of its cgroup file; r keeps the text that path points into. Returns 0
// or an errno value; ESRCH stands for every sign that the process is gone.
int read_cgroup_path(int proc_fd, pid_t pid, line_reader &r, std::string_view &path)
{
    std::array<char, 32> name{};
    if (!proc_file_name(pid, "cgroup", name))
        return EINVAL;
    open_reader(r, proc_fd, name.data());
    if (r.fd < 0)
        return is_gone(r.error) ? ESRCH : r.error;
    std::string_view line;
    next_result got;
    while ((got = next_line(r, line)) == next_result::line) {
        if (line.substr(0, 3) == "0::") {
            path = line.substr(3);
            return 0;
        }
    }
    if (got == next_result::failed)
        return is_gone(r.error) ? ESRCH : r.error;
    // An exited process may leave nothing behind to read.
    if (r.total == 0)
        return ESRCH;
    return r.cut ? ENAMETOOLONG : EINVAL;
}

// The ID of the group at path (as the cgroup file gives it), or 0 for a
// group outside this process's view of the hierarchy. Returns 0 or errno.
int resolve_cgroup(int root_fd, std::string_view path, uint64_t &id)
{
    id = 0;
    // "." before it and the terminator after it must fit.
    if (path.empty() || path[0] != '/' || path.size() + 2 > path_size)
        return EINVAL;
    // Paths that climb above the root name groups in another cgroup
    // namespace, which this process can't see.
    if (path.substr(0, 3) == "/.." || path.find("/../") != std::string_view::npos)
        return 0;
    std::array<char, path_size> relative{};
    relative[0] = '.';
    memcpy(relative.data() + 1, path.data(), path.size());
    struct stat st;
    if (fstatat(root_fd, relative.data(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return is_gone(errno) ? ESRCH : errno;
    if (!S_ISDIR(st.st_mode))
        return ENOTDIR;
    id = st.st_ino;
    return 0;
}

// Lookups of one scan, keyed by path: most processes share a few groups.
struct cgroup_cache {
    struct entry {
        uint32_t offset;
        uint32_t length;
        uint64_t id;
    };
    std::array<entry, cache_entries> entries;
    size_t count;
    size_t used;
    std::array<char, cache_text_size> text;
};

const cgroup_cache::entry *find_cached(const cgroup_cache &cache, std::string_view path)
{
    for (size_t i = 0; i < cache.count; ++i) {
        const cgroup_cache::entry &e = cache.entries[i];
        if (std::string_view(cache.text.data() + e.offset, e.length) == path)
            return &e;
    }
    return nullptr;
}

// Full caches simply stop remembering; the lookups stay correct.
void remember(cgroup_cache &cache, std::string_view path, uint64_t id)
{
    if (cache.count == cache.entries.size() || cache.text.size() - cache.used < path.size())
        return;
    memcpy(cache.text.data() + cache.used, path.data(), path.size());
    cache.entries[cache.count++] = {static_cast<uint32_t>(cache.used),
                                    static_cast<uint32_t>(path.size()), id};
    cache.used += path.size();
}

// The ID of pid's group (0 when it can't be seen from here). Returns 0 or
// errno, ESRCH when the process is gone.
int cgroup_id_of(int proc_fd, int root_fd, pid_t pid, cgroup_cache *cache, uint64_t &id)
{
    line_reader r;
    r.fd = -1;
    std::string_view path;
    int error = read_cgroup_path(proc_fd, pid, r, path);
    if (error == 0) {
        const cgroup_cache::entry *hit = cache != nullptr ? find_cached(*cache, path) : nullptr;
        if (hit != nullptr) {
            id = hit->id;
        } else {
            error = resolve_cgroup(root_fd, path, id);
            if (error == 0 && cache != nullptr)
                remember(*cache, path, id);
        }
    }
    close_reader(r);
    return error;
}

struct process_status {
    uid_t effective_uid;
    char state;
    long threads;
};

// Parses the decimal number at the start of text, after blanks; false when
// there is none or it is too large to be a count or an ID.
bool parse_number(std::string_view text, unsigned long &out)
{
    const size_t start = text.find_first_not_of("\t ");
    if (start == std::string_view::npos || text[start] < '0' || text[start] > '9')
        return false;
    out = 0;
    for (const char c : text.substr(start)) {
        if (c < '0' || c > '9')
            break;
        if (out > (ULONG_MAX - 9) / 10)
            return false;
        out = out * 10 + static_cast<unsigned long>(c - '0');
    }
    return true;
}

// Takes what the scan needs from one status line; returns how many of the
// three fields it set (0 or 1).
int take_status_line(std::string_view line, process_status &st)
{
    unsigned long value = 0;
    if (line.substr(0, 6) == "State:") {
        const size_t at = line.find_first_not_of("\t ", 6);
        if (at == std::string_view::npos)
            return 0;
        st.state = line[at];
        return 1;
    }
    if (line.substr(0, 4) == "Uid:") {
        // Real, effective, saved, filesystem: the listing goes by the second.
        std::string_view rest = line.substr(4);
        const size_t tab = rest.find('\t', rest.find_first_not_of("\t "));
        if (tab == std::string_view::npos || !parse_number(rest.substr(tab), value))
            return 0;
        st.effective_uid = static_cast<uid_t>(value);
        return 1;
    }
    if (line.substr(0, 8) == "Threads:" && parse_number(line.substr(8), value)) {
        st.threads = static_cast<long>(value);
        return 1;
    }
    return 0;
}

// Owner, state and thread count of pid. Returns 0 or errno, ESRCH when the
// process is gone.
int read_status(int proc_fd, pid_t pid, process_status &st)
{
    std::array<char, 32> name{};
    if (!proc_file_name(pid, "status", name))
        return EINVAL;
    line_reader r;
    open_reader(r, proc_fd, name.data());
    if (r.fd < 0)
        return is_gone(r.error) ? ESRCH : r.error;
    st = {static_cast<uid_t>(-1), '\0', -1};
    int found = 0;
    std::string_view line;
    next_result got = next_result::line;
    while (found < 3 && (got = next_line(r, line)) == next_result::line)
        found += take_status_line(line, st);
    const size_t total = r.total;
    const int error = r.error;
    close_reader(r);
    if (got == next_result::failed)
        return is_gone(error) ? ESRCH : error;
    if (total == 0)
        return ESRCH;
    // Older kernels may lack the thread count; the process then counts as
    // having just its main thread.
    if (st.threads < 0)
        st.threads = 1;
    return st.state != '\0' && st.effective_uid != static_cast<uid_t>(-1) ? 0 : EINVAL;
}

// A process whose main thread has exited while others run shows as a zombie
// too, but it is alive and dies only by a signal.
bool is_zombie(const process_status &st)
{
    return (st.state == 'Z' || st.state == 'X') && st.threads <= 1;
}

constexpr int state_code(char state)
{
    switch (state) {
    case 'R':
        return state_running;
    case 'S':
    case 'D':
    case 'I':
        return state_sleeping;
    case 'T':
    case 't':
        return state_stopped;
    case 'Z':
    case 'X':
        return state_zombie;
    default:
        return 0;
    }
}

bool matches(uint64_t id, const coalition_ids &target)
{
    const coalition_ids pair{id, id};
    return is_valid(pair) && pair == target;
}

// A group's files fail with these once the group has been removed; and a
// group is removed only once it is empty.
bool group_gone(int error)
{
    return error == ENOENT || error == ENODEV;
}

constexpr int group_not_found = -1; // the whole tree was searched
constexpr int group_unknown = -2;   // part of it could not be: it may be there

// The directory of the group whose ID is id, searched for below dir (which
// lies depth levels below the hierarchy's root); each directory's entry
// carries its inode number, so nothing needs to be stat'ed. Takes ownership
// of dir. Returns an open descriptor, group_not_found or group_unknown.
int find_group(int dir, uint64_t id, int depth)
{
    DIR *stream = fdopendir(dir);
    if (stream == nullptr) {
        close(dir);
        return group_unknown;
    }
    int found = group_not_found;
    bool blind = false;
    while (found < 0) {
        errno = 0;
        const dirent *entry = readdir(stream);
        if (entry == nullptr) {
            blind = blind || (errno != 0 && !group_gone(errno));
            break;
        }
        if ((entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) || entry->d_name[0] == '.')
            continue;
        if (entry->d_ino != id && depth + 1 >= max_group_depth) {
            blind = true;
            continue;
        }
        const int sub = openat(dirfd(stream), entry->d_name, group_open_flags);
        if (sub < 0) {
            blind = blind || !(group_gone(errno) || errno == ENOTDIR);
            continue;
        }
        const int below = entry->d_ino == id ? sub : find_group(sub, id, depth + 1);
        if (below >= 0)
            found = below;
        blind = blind || below == group_unknown;
    }
    closedir(stream);
    if (found >= 0)
        return found;
    return blind ? group_unknown : group_not_found;
}

// 1 when the group still holds a live process, 0 when it holds none (or is
// gone), -1 when that can't be told. Zombies no longer count as the group's.
// The hierarchy's root keeps no such account; it counts as populated and its
// list decides.
int group_populated(int group, bool root)
{
    if (root)
        return 1;
    line_reader r;
    open_reader(r, group, "cgroup.events");
    if (r.fd < 0)
        return group_gone(r.error) ? 0 : -1;
    int populated = -1;
    std::string_view line;
    next_result got;
    while (populated < 0 && (got = next_line(r, line)) == next_result::line)
        if (line == "populated 0" || line == "populated 1")
            populated = line.back() - '0';
    if (populated < 0 && got == next_result::failed && group_gone(r.error))
        populated = 0;
    close_reader(r);
    return populated;
}

int open_pidfd(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// What a pidfd tells about its process (Linux 6.13 and later), in the layout
// the kernel first published; later kernels still accept it. Newer C library
// headers declare it, ours may not.
// A group's ID is its directory's inode number, which a pidfd reports in
// full and stat must too: a narrower inode number would never match.
static_assert(sizeof(ino_t) == sizeof(uint64_t), "inode numbers are the groups' 64-bit IDs");

struct pidfd_info {
    uint64_t mask;
    uint64_t cgroupid;
    uint32_t ids[11]; // pid, tgid, ppid, then the real, effective, saved and fs ids
    int32_t exit_code;
};
static_assert(sizeof(pidfd_info) == 64, "the kernel's first pidfd_info is 64 bytes");
constexpr uint64_t pidfd_info_cgroupid = 1U << 2;
constexpr unsigned long pidfd_get_info = _IOWR(0xFF, 11, pidfd_info);

// The group of the very process behind pidfd, asked of the kernel directly:
// one call instead of producing and parsing procfs text and looking the
// group's directory up. Returns 0 or errno; ENOTTY or EINVAL where the
// kernel can't answer that way.
int pidfd_cgroup(int pidfd, uint64_t &id)
{
    pidfd_info info{};
    info.mask = pidfd_info_cgroupid;
    if (ioctl(pidfd, pidfd_get_info, &info) != 0)
        return errno;
    if ((info.mask & pidfd_info_cgroupid) == 0)
        return ENOTTY;
    id = info.cgroupid;
    return 0;
}

struct scan {
    int proc_fd;
    int root_fd;
    uid_t uid;
    pid_t self;
    coalition_ids target;
    bool ask_pidfd; // cleared once the kernel turns out not to answer
    cgroup_cache cache;
};

// The ID of pid's group. Most processes of a scan are outsiders, and asking
// a pidfd costs them far less than their cgroup file; kernels that can't
// answer that way get the file. Returns 0 or errno, ESRCH when it is gone.
int group_of(scan &s, pid_t pid, uint64_t &id)
{
    if (s.ask_pidfd) {
        const int pidfd = open_pidfd(pid);
        if (pidfd < 0 && is_gone(errno))
            return ESRCH;
        if (pidfd >= 0) {
            const int error = pidfd_cgroup(pidfd, id);
            close(pidfd);
            if (error == 0 || is_gone(error))
                return error == 0 ? 0 : ESRCH;
            if (error == ENOTTY || error == EINVAL)
                s.ask_pidfd = false;
        }
    }
    return cgroup_id_of(s.proc_fd, s.root_fd, pid, &s.cache, id);
}

enum class verdict { skip, member, failed };

verdict examine(scan &s, pid_t pid)
{
    uint64_t id = 0;
    const int cgroup_error = group_of(s, pid, id);
    if ((cgroup_error == 0 && !matches(id, s.target)) || cgroup_error == ESRCH)
        return verdict::skip;
    // A candidate, or a process whose group could not be read: only the
    // user's own live processes count, and only their failures fail the scan.
    process_status st{};
    const int status_error = read_status(s.proc_fd, pid, st);
    if (status_error == ESRCH)
        return verdict::skip;
    if (status_error != 0) {
        (void)fprintf(stderr, "bsd metadata unavailable pid=%d errno=%d\n", pid, status_error);
        return verdict::failed;
    }
    if (st.effective_uid != s.uid || is_zombie(st))
        return verdict::skip;
    if (cgroup_error != 0) {
        (void)fprintf(stderr, "coalition metadata unavailable pid=%d state=%d errno=%d\n", pid,
                state_code(st.state), cgroup_error);
        return verdict::failed;
    }
    return verdict::member;
}

// Numeric entries of /proc are the processes (thread groups).
pid_t parse_pid(const char *name)
{
    long value = 0;
    for (const char *p = name; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || value > 0x7fffffff / 10)
            return 0;
        value = value * 10 + (*p - '0');
    }
    return value <= 0x7fffffff ? static_cast<pid_t>(value) : 0;
}

// Examines one process and appends it to out if it is a member. Returns
// false when the scan fails.
bool take(scan &s, pid_t pid, member_list &out, int &count)
{
    if (pid < 2 || pid == s.self)
        return true;
    const verdict v = examine(s, pid);
    if (v != verdict::member)
        return v == verdict::skip;
    if (count == member_capacity)
        return false;
    out[static_cast<size_t>(count++)] = pid;
    return true;
}

// Examines one batch of directory entries. Returns false when the scan fails.
bool examine_batch(scan &s, const char *dents, size_t size, member_list &out, int &count)
{
    for (size_t offset = 0; offset < size;) {
        const auto *entry = reinterpret_cast<const dirent64 *>(dents + offset);
        offset += entry->d_reclen;
        if (!take(s, parse_pid(entry->d_name), out, count))
            return false;
    }
    return true;
}

int walk_processes(scan &s, member_list &out)
{
    alignas(dirent64) std::array<char, dents_size> dents;
    int count = 0;
    for (;;) {
        const ssize_t got = getdents64(s.proc_fd, dents.data(), dents.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            return count;
        if (!examine_batch(s, dents.data(), static_cast<size_t>(got), out, count))
            return -1;
    }
}

// Examines every process that the group's own list names; others counts
// those that are not the caller. Returns false when the scan fails.
bool take_listed(scan &s, int group, member_list &out, int &count, int &others)
{
    line_reader r;
    open_reader(r, group, "cgroup.procs");
    if (r.fd < 0)
        return group_gone(r.error);
    bool ok = true;
    std::string_view line;
    next_result got;
    while (ok && (got = next_line(r, line)) == next_result::line) {
        unsigned long pid = 0;
        ok = parse_number(line, pid) && pid <= 0x7fffffff &&
             take(s, static_cast<pid_t>(pid), out, count);
        others += static_cast<pid_t>(pid) != s.self;
    }
    const bool read_failed = got == next_result::failed && !group_gone(r.error);
    close_reader(r);
    return ok && !read_failed;
}

// A walk of /proc is no snapshot: a job whose processes fork and exit fast
// enough can stay a step ahead of it, and a walk that met nobody would call
// a live job empty, which lets the guard report a job cleaned while it runs.
// So before 0 is answered, the group itself is asked whether it still holds
// anyone, and if so, whom. A group that stays populated by processes that
// can't be listed (another user's, or ones that keep outrunning this too)
// fails the scan instead.
int confirm_empty(scan &s, member_list &out)
{
    const int top = openat(s.root_fd, ".", group_open_flags);
    if (top < 0)
        return -1;
    struct stat st;
    if (fstat(top, &st) != 0) {
        close(top);
        return -1;
    }
    const bool root = st.st_ino == s.target.resource;
    const int group = root ? top : find_group(top, s.target.resource, 0);
    if (group == group_not_found)
        return 0;
    if (group < 0)
        return -1;
    int count = -1;
    for (int attempt = 0; attempt < confirm_attempts && count < 0; ++attempt) {
        const int populated = group_populated(group, root);
        if (populated <= 0) {
            count = populated;
            break;
        }
        int listed = 0;
        int others = 0;
        if (!take_listed(s, group, out, listed, others))
            break;
        // A group that holds nobody but the caller has no member.
        if (listed > 0 || others == 0)
            count = listed;
    }
    close(group);
    return count;
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

int identity(pid_t pid, coalition_ids *out)
{
    const int proc_fd = open("/proc", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int root_fd = open_mounts().cgroup_root_fd;
    uint64_t id = 0;
    int error = EBADF;
    if (proc_fd >= 0 && root_fd >= 0)
        error = cgroup_id_of(proc_fd, root_fd, pid, nullptr, id);
    if (proc_fd >= 0)
        close(proc_fd);
    if (root_fd >= 0)
        close(root_fd);
    if (error != 0 || id == 0)
        return 0;
    *out = {id, id};
    return 1;
}

int members(const coalition_ids &target, member_list &out)
{
    scan s;
    s.proc_fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const mounts m = open_mounts();
    s.root_fd = m.cgroup_root_fd;
    s.uid = getuid();
    s.self = getpid();
    s.target = target;
    s.ask_pidfd = true;
    s.cache.count = 0;
    s.cache.used = 0;
    int count = -1;
    // Only a privileged caller sees every process through a hiding /proc.
    if (s.proc_fd >= 0 && s.root_fd >= 0 && (!m.proc_hides || geteuid() == 0))
        count = walk_processes(s, out);
    // Only a pair of two equal IDs names a group here; any other matches no
    // process at all.
    if (count == 0 && is_valid(target) && target.resource == target.jetsam)
        count = confirm_empty(s, out);
    if (s.proc_fd >= 0)
        close(s.proc_fd);
    if (s.root_fd >= 0)
        close(s.root_fd);
    return count;
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
    // The guard signals every member in every round, so this is the hot
    // path of a teardown: ask the pidfd first, procfs only where it can't say.
    uint64_t id = 0;
    coalition_ids ids{};
    const bool known = pidfd >= 0 && pidfd_cgroup(pidfd, id) == 0;
    if (known)
        ids = {id, id};
    int result = 0;
    if ((known || identity(pid, &ids) == 1) && is_valid(ids) && ids == target)
        result = deliver(pidfd, pid, sig);
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
    // Only two equal IDs name a group; 1 is the root of the whole hierarchy.
    if (!is_valid(ids) || ids.resource != ids.jetsam || ids.resource == 1)
        return 0;
    // The root of the hierarchy this process sees holds every process
    // nobody placed in a group, other users' work among them: never a job.
    const int root_fd = open_mounts().cgroup_root_fd;
    struct stat st;
    const bool known = root_fd >= 0 && fstat(root_fd, &st) == 0;
    if (root_fd >= 0)
        close(root_fd);
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
