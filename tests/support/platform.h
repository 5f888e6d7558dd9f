#pragma once

// What the tests need of the operating system beyond POSIX. One source file
// per platform implements it and CMake picks the file, so that the tests
// themselves read the same everywhere.

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

// Makes the calling process the parent of every orphan that the processes it
// starts leave behind, where the platform allows it.
void adopt_orphans();

// Whether adopt_orphans() took effect for the calling process.
bool adopts_orphans();

// A descriptor that turns readable once child ends, or -1 where the platform
// has no such thing (the caller then polls).
int watch_exit(pid_t child);

// Runs body with the calling process in a coalition that no process outside
// the test shares, where the platform lets a test make one: on Linux, as
// root, a fresh cgroup, which the process leaves again before the group and
// whatever body left in it are removed. Elsewhere body runs where the
// process is. A scan of the test's own coalition then never meets what the
// rest of the machine does.
void in_own_coalition(const std::function<void()> &body);

// pid exists and has not ended: a zombie is not alive.
bool process_alive(pid_t pid);

// Swaps what the two paths name in one step; both must exist.
bool exchange_paths(const std::string &a, const std::string &b);

// open() flags that give a descriptor of a directory from which a directory
// stream can't read.
int unreadable_directory_flags();

// A program, as an argument vector, that prints the set of signals it was
// started with ignored, as a hexadecimal mask (bit n-1 for signal n), as the
// last word of its output.
std::vector<std::string> ignored_signals_program();
