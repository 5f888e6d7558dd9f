#include "usage/usage.h"

// The walk answers one question, whether a tree stays within its limits, so
// it stops at the first limit crossed instead of measuring the rest. Below
// the root every step is taken relative to an open directory, and a name is
// only ever opened with links refused: a tree that changes while it is walked
// (a directory swapped for a link to somewhere else) can hide names from the
// walk but never lead it outside. Nothing is printed; the status is the answer.

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "main/exit_status.h"

namespace {

constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool is_dot_or_dot_dot(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

int over_bytes(uint64_t bytes)
{
    return bytes > usage_max_bytes ? 1 : 0;
}

// Counts and examines one name of the directory open on dir: 0 to go on with
// the next name, 1 to stop the walk.
int visit_entry(int dir, const char *name, int depth, uint64_t &entries, uint64_t &bytes)
{
    if (++entries > usage_max_entries)
        return 1;
    struct stat st;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : 1; // gone since readdir named it
    if (S_ISLNK(st.st_mode))
        return 0;
    if (S_ISDIR(st.st_mode)) {
        // The name may have become a link or a file since fstatat looked at
        // it; the open refuses both rather than following.
        const int sub = openat(dir, name, directory_flags);
        if (sub < 0)
            return errno == ENOENT || errno == ELOOP || errno == ENOTDIR ? 0 : 1;
        if (usage(sub, depth + 1, entries, bytes) != 0)
            return 1;
        return over_bytes(bytes);
    }
    bytes += static_cast<uint64_t>(st.st_size);
    return over_bytes(bytes);
}

// Copies root without its trailing slashes ("/" itself stays), so that
// O_NOFOLLOW sees the last component: "link/" would otherwise resolve the
// link before the open could refuse it. False when root does not fit.
bool strip_trailing_slashes(const char *root, std::array<char, PATH_MAX> &path)
{
    size_t length = strlen(root);
    if (length >= path.size())
        return false;
    while (length > 1 && root[length - 1] == '/')
        --length;
    memcpy(path.data(), root, length);
    path[length] = '\0';
    return true;
}

} // namespace

int usage(int dir, int depth, uint64_t &entries, uint64_t &bytes)
{
    if (depth > usage_max_depth) {
        close(dir);
        return 1;
    }
    DIR *stream = fdopendir(dir);
    if (stream == nullptr) {
        close(dir);
        return 1;
    }
    int result = 0;
    for (;;) {
        // readdir returns null both at the end and on a failure, and only a
        // failure sets errno. A directory that can't be read to its end must
        // not pass as one that was.
        errno = 0;
        const dirent *entry = readdir(stream);
        if (entry == nullptr) {
            result = errno == 0 ? 0 : 1;
            break;
        }
        if (is_dot_or_dot_dot(entry->d_name))
            continue;
        if (visit_entry(dir, entry->d_name, depth, entries, bytes) != 0) {
            result = 1;
            break;
        }
    }
    closedir(stream);
    return result;
}

int cmd_usage(const char *root)
{
    // O_NOFOLLOW covers the last component only: the caller names the root,
    // links on the way to it are the caller's own.
    std::array<char, PATH_MAX> path;
    if (!strip_trailing_slashes(root, path))
        return exit_usage_root;
    const int dir = open(path.data(), directory_flags);
    if (dir < 0)
        return exit_usage_root;
    uint64_t entries = 0;
    uint64_t bytes = 0;
    return usage(dir, 0, entries, bytes) == 0 ? exit_ok : exit_usage_exceeded;
}
