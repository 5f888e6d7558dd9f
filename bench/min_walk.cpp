// The least a walk of a whole tree can do: read every directory and stat
// every name once without following links, opening each subdirectory
// relative to its parent. No limits, no counting. The usage benchmark
// measures the real walk against this floor.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int walk(int dir)
{
    DIR *stream = fdopendir(dir);
    if (stream == nullptr) {
        close(dir);
        return 1;
    }
    int result = 0;
    while (const dirent *entry = readdir(stream)) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        struct stat st;
        if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
            continue;
        const int sub = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0)
            result |= walk(sub);
    }
    closedir(stream);
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    const int dir = open(argv[1], O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return dir < 0 ? 1 : walk(dir);
}
