#include "main/inherited.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

void reset_inherited_state()
{
    (void)signal(SIGCHLD, SIG_DFL);
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lower descriptors are open by now, so open() takes exactly fd.
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}
