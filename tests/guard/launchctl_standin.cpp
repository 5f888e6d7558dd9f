#include "guard/launchctl_standin.h"

#include <fcntl.h>
#include <unistd.h>

bool write_launchctl_standin(const std::string &dir, const std::string &record, int exit_code,
                             const std::string &also)
{
    // The shell moves the script's own descriptor above 9, so descriptor 3
    // is open only if launchctl inherited it.
    const std::string script = "#!/bin/sh\n"
                               "fd3=closed\n"
                               "[ -e /proc/self/fd/3 ] && fd3=open\n"
                               "printf '%s\\n' \"$@\" \"fd3=$fd3\" > '" + record + "'\n"
                               "echo 'launchctl: out'\n"
                               "echo 'launchctl: err' >&2\n" + also + "\n"
                               "exit " + std::to_string(exit_code) + "\n";
    const std::string path = dir + "/launchctl";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    if (fd < 0)
        return false;
    const bool written = write(fd, script.data(), script.size()) == static_cast<ssize_t>(script.size());
    return close(fd) == 0 && written;
}
