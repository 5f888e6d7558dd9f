#pragma once

// What the process table model (tests/coalition/macos_model.h) does not
// keep and the session's search for its runner reads: each process's
// executable (proc_pidpath) and argument record (sysctl KERN_PROCARGS2),
// keyed by pid. Whether a process exists, whose it is and whether it is a
// zombie stay the process table's to say.

#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

namespace session_model {

struct image {
    std::string path; // as proc_pidpath names it
    std::string args; // the raw KERN_PROCARGS2 record
};

std::map<pid_t, image> &images();

// A record as the kernel lays it out: argc, the exec path, NUL padding to
// the next word, the arguments, then the environment.
std::string procargs(const std::string &exec_path, const std::vector<std::string> &argv,
                     const std::vector<std::string> &environment = {"PATH=/usr/bin:/bin"});

} // namespace session_model
