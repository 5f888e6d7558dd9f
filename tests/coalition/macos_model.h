#pragma once

// A model of the macOS process table behind the stand-in platform headers in
// macos/. A test sets up processes (real, effective and saved uid, coalition
// pair, just forked, running, stopped, zombie or gone) and the libproc calls,
// kill and getuid answer from them by the kernel's own rules, each cited
// where the model applies it. Time is counted in calls: a killed process
// ends some calls after its kill, a forked one runs some calls after its
// fork. Only what the model can't bring about is scripted: a query that a
// security policy refuses. Every call is recorded, with whether the caller's
// buffer was zeroed and errno cleared on entry; a hook sees each call before
// it is answered, to change the table under a scan. ptrace and sysctlbyname
// are stand-ins too, so nothing real is ever signalled or asked.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "coalition/coalition.h"

namespace macos_model {

// forking: listed and answering, in state SIDL, not yet running.
enum class run_state { forking, running, stopped, zombie, gone };

struct process {
    pid_t pid = 0;
    uid_t ruid = 0;
    uid_t euid = 0;
    uid_t svuid = 0;
    coalition_ids pair{};
    run_state state = run_state::running;
    // Killed: ends once the clock reaches due.
    bool dying = false;
    // Forking: runs once the clock reaches due, then takes this signal.
    int deferred_signal = 0;
    uint64_t due = 0;
};

enum class call_kind { list_size, list_fill, pidinfo, kill };

struct call {
    call_kind kind;
    int what; // listing type, pidinfo flavor, or signal
    pid_t pid;
    uint32_t typeinfo;
    int size;
    const void *buffer;
    bool zeroed;
    int errno_on_entry;
};

struct table {
    // The calling process, whatever its pid (a forked guard's too).
    process caller;
    std::map<pid_t, process> processes;
    std::function<void(table &, const call &)> hook;
    // Calls so far; a change that is due happens before the call is answered.
    uint64_t clock = 0;
    // Calls from a fatal signal to the process's end, and from a fork to
    // the child's running.
    uint64_t exit_delay = 3;
    uint64_t fork_delay = 3;
    // Processes with a change due, in no order.
    std::vector<pid_t> pending;
    // proc_pidinfo of {pid, flavor} fails with this errno, as a security
    // policy may refuse any query (the MAC hook ahead of the same-user check).
    std::map<std::pair<pid_t, int>, int> refusals;
    int listing_refusal = 0;

    std::string boot_value = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
    std::string sysctl_name;
    size_t sysctl_length_in = 0;
    int sysctl_error = 0;

    std::vector<call> calls;
    std::vector<std::string> ptraces; // "request pid addr data", addr as null or set
};

constexpr uid_t user = 501;
constexpr coalition_ids caller_pair{3, 4};

table &model();
// A fresh table whose caller is user in all three uids.
void reset();

// A running process of user's in pair; the test adjusts the rest.
process &add(pid_t pid, coalition_ids pair, uid_t ruid = user, uid_t euid = user,
             uid_t svuid = user);

// The process pid, the caller for getpid(); nullptr when there is none.
process *find(pid_t pid);

// p becomes a child just forked, running fork_delay calls from now.
void start_forking(process &p);

// What exec of a setuid-root program does to its credentials: the real uid
// stays, effective and saved become 0 (bsd/kern/kern_exec.c:6795-6803); the
// coalitions stay (kern_exec.c:4108).
void exec_setuid_root(process &p);

// Processes in pair that are neither zombie nor gone, dying or not.
int live_in(const coalition_ids &pair);

} // namespace macos_model
