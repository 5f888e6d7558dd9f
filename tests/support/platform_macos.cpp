#include "support/platform.h"

#include <fcntl.h>
#include <libproc.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#include <sys/stdio.h>

// No process can take in the orphans of another here: they go to launchd,
// which reaps them.
void adopt_orphans() {}

bool adopts_orphans()
{
    return false;
}

// A test can't make a coalition here; a scan of the one the process has
// looks at that coalition alone, there is no hierarchy below it to walk.
void in_own_coalition(const std::function<void()> &body)
{
    body();
}

int watch_exit(pid_t)
{
    return -1;
}

bool process_alive(pid_t pid)
{
    proc_bsdinfo info{};
    const int size = static_cast<int>(sizeof info);
    return proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, size) == size &&
           info.pbi_status != SZOMB;
}

bool exchange_paths(const std::string &a, const std::string &b)
{
    return renamex_np(a.c_str(), b.c_str(), RENAME_SWAP) == 0;
}

int unreadable_directory_flags()
{
    return O_SEARCH | O_CLOEXEC;
}

std::vector<std::string> ignored_signals_program()
{
    // The shell becomes ps, so ps reports the set the shell started with.
    return {"/bin/sh", "-c", "exec /bin/ps -o sigignore= -p $$"};
}
