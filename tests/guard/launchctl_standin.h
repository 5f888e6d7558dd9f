#pragma once

// A /bin/launchctl that exists for one process and its children only. The
// calling process moves into a private mount namespace and lays a directory
// holding the stand-in over the real /bin with a read-only overlay; the rest
// of the machine never sees it. Needs root, and Linux.

#include <string>

// Writes dir/launchctl: a script that records its arguments, one a line,
// then "fd3=open" or "fd3=closed", into record; prints one line on each of
// its standard output and error; runs the shell command also, if any; and
// exits with exit_code.
bool write_launchctl_standin(const std::string &dir, const std::string &record, int exit_code,
                             const std::string &also = "");

// Makes dir's entries appear in /bin for this process and its future
// children. "" on success, else what failed.
std::string use_private_launchctl(const std::string &dir);

// "" when use_private_launchctl can work here, else why not.
std::string launchctl_standin_skip_reason();
