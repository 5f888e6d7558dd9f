#include "guard/launchctl_standin.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>


bool write_launchctl_standin(const std::string &dir, const std::string &record, int exit_code)
{
    // The shell moves the script's own descriptor above 9, so descriptor 3
    // is open only if launchctl inherited it.
    const std::string script = "#!/bin/sh\n"
                               "fd3=closed\n"
                               "[ -e /proc/self/fd/3 ] && fd3=open\n"
                               "printf '%s\\n' \"$@\" \"fd3=$fd3\" > '" + record + "'\n"
                               "echo 'launchctl: out'\n"
                               "echo 'launchctl: err' >&2\n"
                               "exit " + std::to_string(exit_code) + "\n";
    const std::string path = dir + "/launchctl";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    if (fd < 0)
        return false;
    const bool written = write(fd, script.data(), script.size()) == static_cast<ssize_t>(script.size());
    return close(fd) == 0 && written;
}

std::string use_private_launchctl(const std::string &dir)
{
    // /bin is often a link to usr/bin; the overlay goes on what it names.
    char bin[PATH_MAX];
    if (realpath("/bin", bin) == nullptr)
        return std::string("realpath /bin: ") + strerror(errno);
    if (unshare(CLONE_NEWNS) != 0)
        return std::string("unshare: ") + strerror(errno);
    // Without this the overlay would propagate back into the real namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("making / private: ") + strerror(errno);
    const std::string options = "lowerdir=" + dir + ":" + bin;
    if (mount("overlay", bin, "overlay", MS_RDONLY, options.c_str()) != 0)
        return std::string("overlay on ") + bin + ": " + strerror(errno);
    return {};
}

std::string launchctl_standin_skip_reason()
{
    if (geteuid() != 0)
        return "needs root for a private mount namespace";
    if (access("/bin/launchctl", F_OK) == 0)
        return "this machine has a real /bin/launchctl";
    return {};
}
