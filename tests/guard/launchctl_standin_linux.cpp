#include "guard/launchctl_standin.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

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
