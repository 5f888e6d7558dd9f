#include "main/inherited.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

void reset_inherited_state()
{
    (void)signal(SIGCHLD, SIG_DFL);
    for (int fd = 0; fd < first_private_fd; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // open() takes fd, or a lower one that /dev/null could not fill.
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

int keep_above(int fd, int lowest)
{
    if (fd < 0 || fd >= lowest)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, lowest);
    const int error = errno;
    close(fd);
    errno = error;
    return moved;
}
