#pragma once

// Builders for the trees the usage tests walk. Each reports a failure to the
// running test and names the path, so a broken fixture never passes for a
// broken walk.

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

inline void check(bool ok, const char *what, const std::string &path)
{
    if (!ok)
        ADD_FAILURE() << what << " " << path << ": " << std::strerror(errno);
}

inline void make_dir(const std::string &path, mode_t mode = 0755)
{
    check(mkdir(path.c_str(), mode) == 0, "mkdir", path);
}

// A file of the given apparent size; above a few bytes it is sparse.
inline void make_file(const std::string &path, uint64_t size = 0)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    check(fd >= 0, "create", path);
    if (fd < 0)
        return;
    check(ftruncate(fd, static_cast<off_t>(size)) == 0, "ftruncate", path);
    close(fd);
}

inline void make_link(const std::string &target, const std::string &path)
{
    check(symlink(target.c_str(), path.c_str()) == 0, "symlink", path);
}

inline void make_hard_link(const std::string &existing, const std::string &path)
{
    check(link(existing.c_str(), path.c_str()) == 0, "link", path);
}

inline void make_fifo(const std::string &path)
{
    check(mkfifo(path.c_str(), 0644) == 0, "mkfifo", path);
}

// A bound socket leaves its name behind when closed.
inline void make_socket(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    check(path.size() < sizeof address.sun_path, "socket path too long", path);
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    check(fd >= 0, "socket", path);
    if (fd < 0)
        return;
    check(bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0, "bind", path);
    close(fd);
}

// A chain of levels directories below dir: dir/d, dir/d/d, ...
inline void make_chain(const std::string &dir, int levels)
{
    std::string path = dir;
    for (int i = 0; i < levels; ++i) {
        path += "/d";
        make_dir(path);
    }
}

// Names f0, f1, ... numbered from first, spread round-robin over dirs. They
// are hard links to one empty file in the first dir: the walk counts names,
// and a name is far cheaper to make than a new file.
inline void make_files(const std::initializer_list<std::string> &dirs, uint64_t count,
                       uint64_t first = 0)
{
    const std::string seed = *dirs.begin() + "/f" + std::to_string(first);
    uint64_t i = first;
    while (i < first + count)
        for (const std::string &dir : dirs) {
            if (i == first + count)
                break;
            const std::string path = dir + "/f" + std::to_string(i++);
            if (path == seed)
                make_file(path);
            else
                make_hard_link(seed, path);
        }
}
