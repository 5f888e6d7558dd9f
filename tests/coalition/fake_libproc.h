#pragma once

// A scripted process table behind the stand-in platform headers in macos/.
// A test programs what each call returns; the fake records every call, with
// whether the caller's buffer was zeroed and errno cleared on entry. It also
// takes the place of kill() in the test program, so nothing is ever sent to
// a real process, and of ptrace().

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace fake_libproc {

constexpr int bsd_flavor = 3;
constexpr int coalition_flavor = 20;

// One answer of proc_pidinfo: the return value, the errno to set (0 leaves
// errno as the caller had it), and the fields to write. Every other byte of
// the caller's buffer is overwritten with garbage, so stale data shows.
struct reply {
    int result;
    int error;
    uint32_t status;
    uint64_t resource;
    uint64_t jetsam;
};

reply bsd(uint32_t status);
reply coalition(uint64_t resource, uint64_t jetsam, int error = 0);
reply failure(int result, int error);

enum class call_kind { list_size, list_fill, pidinfo, sysctl };

struct call {
    call_kind kind;
    int pid;
    int flavor;
    int size;
    uint32_t typeinfo;
    bool zeroed;
    int errno_on_entry;
    const void *buffer;
};

struct script {
    // proc_listpids: the size query's answer, then the fill call's (by
    // default the bytes of pids), which writes as many of pids as fit.
    int size_result = 0;
    std::optional<int> fill_result;
    std::vector<pid_t> pids;

    // proc_pidinfo by pid and flavor: the n-th call gets the n-th reply,
    // and the last one repeats. An unscripted query fails the test.
    struct sequence {
        std::vector<reply> replies;
        size_t answered = 0;
    };
    std::map<std::pair<pid_t, int>, sequence> replies;

    // kill by pid: {result, errno}; unscripted pids succeed.
    std::map<pid_t, std::pair<int, int>> kill_replies;

    // sysctlbyname: the bytes written (as many as fit), the result, errno.
    std::string boot_value;
    int boot_result = 0;
    int boot_error = 0;

    // What happened.
    std::vector<call> calls;
    std::vector<std::pair<pid_t, int>> kills;
    std::vector<std::string> ptraces; // "request pid addr data", addr as null or set
    std::string sysctl_name;
    size_t sysctl_length_in = 0;
    bool sysctl_sets_nothing = true;
};

// The script the fake follows; reset() starts a fresh one.
script &current();
void reset();

// Sets the replies of both flavors for pid.
void set_process(pid_t pid, reply bsd_reply, reply coalition_reply);

} // namespace fake_libproc
