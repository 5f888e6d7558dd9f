// The macOS backend, compiled from its own source against the stand-in
// platform headers and run against a model of the platform's process table.
// Every test also checks that each query found its buffer zeroed and errno
// cleared, and, under AddressSanitizer, that a scan made at most one
// allocation and freed it.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/proc_info.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "coalition/coalition.h"
#include "macos_model.h"

#if defined(__SANITIZE_ADDRESS__)
#define COALITION_TEST_HEAP_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define COALITION_TEST_HEAP_HOOKS 1
#endif
#endif
#ifdef COALITION_TEST_HEAP_HOOKS
// From the sanitizer runtime; not every compiler ships its header.
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*on_allocate)(const volatile void *, size_t), void (*on_free)(const volatile void *));
#endif

namespace {

using namespace macos_model;

constexpr coalition_ids target{7, 8};
constexpr int coalition_flavor = 20;
// Above pid_max, so no fake can be taken for the test process itself.
constexpr pid_t m = 900000;
constexpr uid_t other_user = 502;

struct heap_log {
    bool on;
    int allocations;
    int frees;
    const volatile char *allocated;
    size_t size;
    const volatile void *freed;
};
heap_log heap;

#ifdef COALITION_TEST_HEAP_HOOKS
void on_allocate(const volatile void *pointer, size_t size)
{
    if (heap.on) {
        ++heap.allocations;
        heap.allocated = static_cast<const volatile char *>(pointer);
        heap.size = size;
    }
}

void on_free(const volatile void *pointer)
{
    if (heap.on) {
        ++heap.frees;
        heap.freed = pointer;
    }
}

const bool hooks_installed = __sanitizer_install_malloc_and_free_hooks(on_allocate, on_free) != 0;
#endif

std::string describe(const call &c)
{
    return "call kind=" + std::to_string(static_cast<int>(c.kind)) + " pid=" +
           std::to_string(c.pid) + " what=" + std::to_string(c.what);
}

int queries_of(pid_t pid, int flavor)
{
    return static_cast<int>(std::count_if(model().calls.begin(), model().calls.end(), [&](const call &c) {
        return c.kind == call_kind::pidinfo && c.pid == pid && c.what == flavor;
    }));
}

int fills_of(uint32_t type)
{
    return static_cast<int>(std::count_if(model().calls.begin(), model().calls.end(), [&](const call &c) {
        return c.kind == call_kind::list_fill && c.what == static_cast<int>(type);
    }));
}

int pidinfo_calls()
{
    return static_cast<int>(std::count_if(model().calls.begin(), model().calls.end(),
                                          [](const call &c) { return c.kind == call_kind::pidinfo; }));
}

struct scan_result {
    int count;
    std::vector<pid_t> pids;
    std::string diagnostics;
};

scan_result scan(const coalition_ids &wanted = target)
{
    static member_list out;
    [[maybe_unused]] const size_t first_call = model().calls.size();
    testing::internal::CaptureStderr();
    heap = {true, 0, 0, nullptr, 0, nullptr};
    const int count = members(wanted, out);
    heap.on = false;
    scan_result result{count, {}, testing::internal::GetCapturedStderr()};
    for (int i = 0; i < count; ++i)
        result.pids.push_back(out[static_cast<size_t>(i)]);
#ifdef COALITION_TEST_HEAP_HOOKS
    // One buffer, the one both listings were filled into, freed on every path.
    EXPECT_LE(heap.allocations, 1);
    EXPECT_EQ(heap.frees, heap.allocations);
    EXPECT_EQ(const_cast<const void *>(heap.freed), const_cast<const volatile void *>(
                                                        static_cast<const volatile void *>(heap.allocated)));
    for (size_t i = first_call; i < model().calls.size(); ++i) {
        const call &c = model().calls[i];
        if (c.kind != call_kind::list_fill)
            continue;
        const auto *start = static_cast<const char *>(c.buffer);
        const auto *block = const_cast<const char *>(heap.allocated);
        EXPECT_TRUE(start >= block && start + c.size <= block + heap.size) << describe(c);
    }
#endif
    return result;
}

std::string text(const char *format, int a, int b = 0, int c = 0)
{
    char line[128];
    snprintf(line, sizeof line, format, a, b, c);
    return line;
}

// A hook that runs change once, before the first call that when matches.
std::function<void(table &, const call &)> once(std::function<bool(const call &)> when,
                                                 std::function<void(table &)> change)
{
    return [when, change, done = false](table &t, const call &c) mutable {
        if (!done && when(c)) {
            done = true;
            change(t);
        }
    };
}

bool is_fill(const call &c)
{
    return c.kind == call_kind::list_fill;
}

class CoalitionMacos : public testing::Test {
protected:
    void SetUp() override { reset(); }

    void TearDown() override
    {
        for (const call &c : model().calls) {
            if (c.kind == call_kind::kill || (c.kind == call_kind::pidinfo && c.what == PROC_PIDLISTFDS))
                continue;
            EXPECT_TRUE(c.zeroed) << describe(c);
            EXPECT_EQ(c.errno_on_entry, 0) << describe(c);
            if (c.kind != call_kind::pidinfo) {
                EXPECT_EQ(c.typeinfo, c.what == PROC_ALL_PIDS ? 0 : model().caller.ruid) << describe(c);
            }
        }
        model().calls.clear();
    }
};

// A listing that grows past its spare entries between sizing and filling is
// cut silently; a buffer filled to its last byte may hold a cut list.
TEST_F(CoalitionMacos, ListingThatCanNotBeTrustedFailsTheScan)
{
    struct listing_case {
        const char *name;
        uint32_t grows;   // the listing whose fill finds the new processes
        int started;      // processes that start before that fill
        uid_t ruid, euid; // theirs
        int refusal;      // the listing's errno, 0 for none
        int expected;
    };
    // One process (the caller) at sizing: 21 + 1024 entries of room for each
    // of the user's listings, twice that for everyone's.
    const listing_case cases[] = {
        {"listing refused", PROC_UID_ONLY, 0, user, user, EPERM, -1},
        {"growth within the spare entries", PROC_UID_ONLY, 1043, user, user, 0, 1043},
        {"effective listing filled to its last byte", PROC_UID_ONLY, 1044, user, user, 0, -1},
        {"real listing filled to its last byte", PROC_RUID_ONLY, 1044, user, 0, 0, -1},
        {"everyone's listing within its room", PROC_ALL_PIDS, 2088, other_user, other_user, 0, 2088},
        {"everyone's listing filled to its last byte", PROC_ALL_PIDS, 2089, other_user, other_user, 0,
         -1},
    };
    for (const listing_case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        model().listing_refusal = c.refusal;
        for (int i = 0; i < c.started; ++i)
            add(m + i, target, c.ruid, c.euid, c.euid).state = run_state::gone;
        model().hook = once([&](const call &k) { return is_fill(k) && k.what == static_cast<int>(c.grows); },
                            [](table &t) {
                                for (auto &entry : t.processes)
                                    entry.second.state = run_state::running;
                            });
        const scan_result r = scan();
        EXPECT_EQ(r.count, c.expected);
        EXPECT_EQ(r.diagnostics, "");
        if (c.expected < 0) {
            EXPECT_EQ(pidinfo_calls(), 0);
        }
        TearDown();
    }
}

// Every live process in the job is a member, whoever's it is; the user's
// listings (effective and real uid) find the user's, and only when they
// find none is every process listed.
TEST_F(CoalitionMacos, EachProcessIsJudgedByItsUidsStateAndPair)
{
    struct process_case {
        const char *name;
        uid_t ruid, euid, svuid;
        coalition_ids pair;
        run_state state;
        bool member;
        bool everyone_listed;
    };
    const run_state running = run_state::running;
    const process_case cases[] = {
        {"running member", user, user, user, target, running, true, false},
        {"stopped member", user, user, user, target, run_state::stopped, true, false},
        {"member just forked", user, user, user, target, run_state::forking, true, false},
        {"zombie member", user, user, user, target, run_state::zombie, false, true},
        {"member that ran a setuid-root program", user, 0, 0, target, running, true, false},
        {"root process acting as the user", 0, user, 0, target, running, true, false},
        {"member with the saved uid alone the user's", 0, 0, user, target, running, true, true},
        {"another user's member", other_user, other_user, other_user, target, running, true, true},
        {"root member in all three uids", 0, 0, 0, target, running, true, true},
        {"the user's setuid-root program elsewhere", user, 0, 0, {9, 10}, running, false, true},
        {"other jetsam", user, user, user, {7, 9}, running, false, true},
        {"other resource", user, user, user, {9, 8}, running, false, true},
        {"pair swapped", user, user, user, {8, 7}, running, false, true},
        {"no jetsam coalition", user, user, user, {7, 0}, running, false, true},
    };
    for (const process_case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        add(m, c.pair, c.ruid, c.euid, c.svuid).state = c.state;
        const scan_result r = scan();
        EXPECT_EQ(r.pids, c.member ? std::vector<pid_t>{m} : std::vector<pid_t>{});
        EXPECT_EQ(r.diagnostics, "");
        EXPECT_EQ(fills_of(PROC_ALL_PIDS), c.everyone_listed ? 1 : 0);
        TearDown();
    }
}

// Everyone's listing costs a query of every process: it is made only when
// the user's find no member, and skips what they had named.
TEST_F(CoalitionMacos, EveryoneIsListedOnlyWhenTheUsersListingsFindNoMember)
{
    const pid_t others = m + 1;
    const pid_t users_elsewhere = m + 2;
    struct reach_case {
        const char *name;
        bool users_member;
        std::vector<pid_t> expected;
        int everyone_fills;
    };
    const reach_case cases[] = {
        {"the user's member and another user's", true, {m}, 0},
        {"another user's member alone", false, {others}, 1},
    };
    for (const reach_case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        if (c.users_member)
            add(m, target);
        add(others, target, other_user, other_user, other_user);
        add(users_elsewhere, {9, 10});
        const scan_result r = scan();
        EXPECT_EQ(r.pids, c.expected);
        EXPECT_EQ(fills_of(PROC_ALL_PIDS), c.everyone_fills);
        EXPECT_EQ(fills_of(PROC_UID_ONLY), 1);
        EXPECT_EQ(queries_of(users_elsewhere, coalition_flavor), 1);
        TearDown();
    }
}

// A pass vouches for an empty job only when nothing it examined vanished; a
// pass that saw something vanish lists again, and what the previous listing
// named (a zombie, a process that stayed) is no news.
TEST_F(CoalitionMacos, AnEmptyScanSettlesWhenNothingExaminedVanished)
{
    const pid_t newcomer = m + 1;
    const pid_t strangers = m + 10;
    struct settle_case {
        const char *name;
        uid_t uid; // of m and newcomer
        coalition_ids pair;
        run_state state;
        std::function<void(table &, const call &)> hook;
        std::vector<pid_t> expected;
        int users_passes, everyone_passes;
    };
    const auto forks_and_ends = [=](table &t, const call &c) {
        if (c.kind == call_kind::pidinfo && c.pid == m) {
            t.processes[m].state = run_state::gone;
            t.processes[newcomer].state = run_state::running;
        }
    };
    // A busy machine: another user's process starts before every listing.
    const auto busy = [=, next = strangers](table &t, const call &c) mutable {
        if (is_fill(c))
            t.processes[next++].state = run_state::running;
    };
    const coalition_ids elsewhere{9, 10};
    const run_state running = run_state::running;
    const settle_case cases[] = {
        {"the user's zombie", user, elsewhere, run_state::zombie, nullptr, {}, 2, 1},
        {"another user's zombie", other_user, elsewhere, run_state::zombie, nullptr, {}, 1, 2},
        {"the user's member forks and ends", user, target, running, forks_and_ends, {newcomer}, 2, 0},
        {"another user's member forks and ends", other_user, target, running, forks_and_ends,
         {newcomer}, 1, 2},
        {"new processes start all the time", other_user, elsewhere, running, busy, {}, 1, 1},
    };
    for (const settle_case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        add(m, c.pair, c.uid, c.uid, c.uid).state = c.state;
        add(newcomer, target, c.uid, c.uid, c.uid).state = run_state::gone;
        for (pid_t pid = strangers; pid < strangers + 10; ++pid)
            add(pid, elsewhere, other_user, other_user, other_user).state = run_state::gone;
        model().hook = c.hook;
        const scan_result r = scan();
        EXPECT_EQ(r.pids, c.expected);
        EXPECT_EQ(r.diagnostics, "");
        EXPECT_EQ(fills_of(PROC_UID_ONLY), c.users_passes);
        EXPECT_EQ(fills_of(PROC_ALL_PIDS), c.everyone_passes);
        TearDown();
    }
}

// Setuid programs run by the job or by the user elsewhere, and processes
// that end, while a scan is under way: none may fail the scan.
TEST_F(CoalitionMacos, ProcessesThatChangeUnderTheScanLeaveItWhole)
{
    const pid_t elsewhere = m + 1;
    struct change_case {
        const char *name;
        std::function<bool(const call &)> when;
        std::function<void(table &)> change;
        std::vector<pid_t> expected;
    };
    const auto after_listing = [](const call &c) { return c.kind == call_kind::pidinfo; };
    const auto at_pair_query = [](const call &c) {
        return c.kind == call_kind::pidinfo && c.pid == m && c.what == coalition_flavor;
    };
    const change_case cases[] = {
        {"member execs a setuid-root program", after_listing,
         [](table &t) { exec_setuid_root(t.processes[m]); }, {m}},
        {"the user elsewhere execs a setuid-root program", after_listing,
         [&](table &t) { exec_setuid_root(t.processes[elsewhere]); }, {m}},
        {"member ends before its queries", after_listing,
         [](table &t) { t.processes[m].state = run_state::gone; }, {}},
        {"member ends between its queries", at_pair_query,
         [](table &t) { t.processes[m].state = run_state::zombie; }, {}},
        {"member forks and ends before its queries", after_listing,
         [](table &t) {
             t.processes[m].state = run_state::gone;
             t.processes[m + 2].state = run_state::running;
         },
         {m + 2}},
    };
    for (const change_case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        add(m, target);
        add(elsewhere, {9, 10});
        // A pid for a child to come: set up now, as a scan must not see
        // the model allocate.
        add(m + 2, target).state = run_state::gone;
        model().hook = once(c.when, c.change);
        const scan_result r = scan();
        EXPECT_EQ(r.pids, c.expected);
        EXPECT_EQ(r.diagnostics, "");
        TearDown();
    }
}

// A job whose every process forks and ends before its first query is in no
// listing alive: the scan can't call it empty, and fails.
TEST_F(CoalitionMacos, AJobThatAlwaysMovesOnFailsTheScan)
{
    add(m, target);
    for (pid_t child = m + 1; child < m + 16; ++child)
        add(child, target).state = run_state::gone;
    model().hook = [head = m](table &t, const call &c) mutable {
        if (c.kind == call_kind::pidinfo && c.pid == head) {
            t.processes[head].state = run_state::gone;
            t.processes[++head].state = run_state::running;
        }
    };
    const scan_result r = scan();
    EXPECT_EQ(r.count, -1);
    EXPECT_EQ(r.diagnostics, text("coalition metadata unavailable pid=%d state=%d errno=%d\n", 0, 0, EAGAIN));
    EXPECT_EQ(live_in(target), 1);
}

// A security policy may refuse any query; the scan can't vouch for what it
// could not see. The kernel asks the policy only about a live process
// (bsd/kern/proc_info.c:2174-2211): a gone one answers ESRCH.
TEST_F(CoalitionMacos, RefusedQueryFailsTheScanWithItsMessage)
{
    struct refusal_case {
        const char *name;
        int flavor;
        run_state state;
        uid_t uid;
        int expected;
        std::string diagnostics;
    };
    const refusal_case cases[] = {
        {"short record", PROC_PIDT_SHORTBSDINFO, run_state::running, user, -1,
         text("bsd metadata unavailable pid=%d errno=%d\n", m, EPERM)},
        {"pair", coalition_flavor, run_state::stopped, user, -1,
         text("coalition metadata unavailable pid=%d state=%d errno=%d\n", m, 4, EPERM)},
        {"another user's pair", coalition_flavor, run_state::running, other_user, -1,
         text("coalition metadata unavailable pid=%d state=%d errno=%d\n", m, 2, EPERM)},
        {"zombie", coalition_flavor, run_state::zombie, user, 0, ""},
    };
    for (const refusal_case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        model().refusals[{m, c.flavor}] = EPERM;
        add(m, target, c.uid, c.uid, c.uid).state = c.state;
        const scan_result r = scan();
        EXPECT_EQ(r.count, c.expected);
        EXPECT_EQ(r.diagnostics, c.diagnostics);
        TearDown();
    }
}

// Both listings name most processes; each is examined once, and the kernel's
// own processes and the caller never are, whatever pair they show.
TEST_F(CoalitionMacos, EachListedProcessIsExaminedOnce)
{
    model().caller = process{0, 0, 0, 0, caller_pair, run_state::running};
    add(0, target, 0, 0, 0);
    add(1, target, 0, 0, 0);
    add(m, target, 0, 0, 0);
    add(m + 1, target, 0, 5, 5);
    add(m + 2, target, 5, 0, 5);
    const scan_result r = scan();
    EXPECT_EQ(r.pids, (std::vector<pid_t>{m, m + 1, m + 2}));
    for (const pid_t pid : {0, 1, getpid(), m, m + 1, m + 2})
        for (const int flavor : {PROC_PIDT_SHORTBSDINFO, coalition_flavor})
            EXPECT_EQ(queries_of(pid, flavor), pid >= m ? 1 : 0) << pid << " " << flavor;
}

TEST_F(CoalitionMacos, AtMostTheMemberCapacityIsReported)
{
    for (const int listed : {member_capacity, member_capacity + 1}) {
        reset();
        for (int i = 0; i < listed; ++i)
            add(m + i, target, user, i % 2 == 0 ? user : 0, user);
        const scan_result r = scan();
        EXPECT_EQ(r.diagnostics, "");
        EXPECT_EQ(r.count, listed == member_capacity ? member_capacity : -1);
        TearDown();
    }
}

TEST_F(CoalitionMacos, CheckedSignalSendsOnlyAfterTheRereadPairMatches)
{
    struct signal_case {
        const char *name;
        pid_t pid;
        uid_t ruid, euid, svuid;
        coalition_ids pair;
        run_state state;
        bool ends_before_kill;
        int expected;
        bool sends;
    };
    const signal_case cases[] = {
        {"member", m, user, user, user, target, run_state::running, false, 1, true},
        {"member that ran a setuid-root program", m, user, 0, 0, target, run_state::running, false, 1, true},
        {"member with the saved uid alone the user's", m, other_user, other_user, user, target,
         run_state::running, false, 1, true},
        {"member just forked", m, user, user, user, target, run_state::forking, false, 1, true},
        {"member that ends before the signal", m, user, user, user, target, run_state::running, true, 1, true},
        {"member the kernel won't let the user signal", m, 0, user, 0, target, run_state::running, false,
         0, true},
        {"another user's member", m, other_user, other_user, other_user, target, run_state::running,
         false, 0, false},
        {"root member", m, 0, 0, 0, target, run_state::running, false, 0, false},
        {"zombie member", m, user, user, user, target, run_state::zombie, false, 0, false},
        {"other pair", m, user, user, user, {7, 9}, run_state::running, false, 0, false},
        {"gone", m, user, user, user, target, run_state::gone, false, 0, false},
        {"pid 1", 1, user, user, user, target, run_state::running, false, 0, false},
        {"pid 0", 0, user, user, user, target, run_state::running, false, 0, false},
        {"the caller", getpid(), user, user, user, target, run_state::running, false, 0, false},
    };
    for (const signal_case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        if (c.pid == getpid())
            model().caller.pair = target;
        add(c.pid, c.pair, c.ruid, c.euid, c.svuid).state = c.state;
        if (c.ends_before_kill)
            model().hook = once([](const call &k) { return k.kind == call_kind::kill; },
                                [&](table &t) { t.processes[c.pid].state = run_state::gone; });
        errno = EPERM;
        EXPECT_EQ(checked_signal(c.pid, target, SIGKILL), c.expected);
        const bool sent = std::any_of(model().calls.begin(), model().calls.end(),
                                      [](const call &k) { return k.kind == call_kind::kill; });
        EXPECT_EQ(sent, c.sends);
        // Killed, it ends later; a child just forked is killed once it runs.
        const process &p = model().processes[c.pid];
        const bool killed = p.dying || p.deferred_signal == SIGKILL;
        EXPECT_EQ(killed, c.expected == 1 && !c.ends_before_kill);
        TearDown();
    }
}

TEST_F(CoalitionMacos, IdentityAndOwnershipOfOneProcess)
{
    struct one_case {
        const char *name;
        uid_t ruid, euid, svuid;
        coalition_ids pair;
        run_state state;
        int identity;
        int users;
    };
    const one_case cases[] = {
        {"the user's", user, user, user, target, run_state::running, 1, 1},
        {"stopped", user, user, user, target, run_state::stopped, 1, 1},
        {"setuid-root program of the user's", user, 0, 0, target, run_state::running, 1, 1},
        {"root acting as the user", 0, user, 0, target, run_state::running, 1, 1},
        {"saved uid alone the user's", 0, 0, user, target, run_state::running, 1, 1},
        {"just forked", user, user, user, target, run_state::forking, 1, 1},
        {"another user's", other_user, other_user, other_user, target, run_state::running, 1, 0},
        {"zero resource", user, user, user, {0, 8}, run_state::running, 0, 1},
        {"zero jetsam", user, user, user, {7, 0}, run_state::running, 0, 1},
        {"zombie", user, user, user, target, run_state::zombie, 0, 0},
        {"gone", user, user, user, target, run_state::gone, 0, 0},
    };
    for (const one_case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        add(m, c.pair, c.ruid, c.euid, c.svuid).state = c.state;
        coalition_ids ids{};
        EXPECT_EQ(identity(m, &ids), c.identity);
        if (c.identity == 1) {
            EXPECT_TRUE(ids == c.pair);
        }
        EXPECT_EQ(is_users_process(m), c.users);
        TearDown();
    }
    reset();
    add(m, target);
    model().refusals[{m, PROC_PIDT_SHORTBSDINFO}] = EPERM;
    EXPECT_EQ(is_users_process(m), 0) << "refused by a policy";
    model().caller = process{0, 0, 0, 0, caller_pair, run_state::running};
    add(1, target, 0, 0, 0);
    EXPECT_EQ(is_users_process(1), 0) << "never the kernel's processes";
    EXPECT_EQ(is_users_process(0), 0);
}

TEST_F(CoalitionMacos, BootSessionMustBeANonEmptyString)
{
    struct boot_case {
        const char *name;
        std::string value;
        int error;
        int expected;
    };
    const std::string uuid = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
    const boot_case cases[] = {
        {"identifier", uuid, 0, 1},
        {"empty before power management starts", "", 0, 0},
        {"no such name", uuid, ENOENT, 0},
    };
    for (const boot_case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        model().boot_value = c.value;
        model().sysctl_error = c.error;
        boot_session_id id;
        id.fill('x');
        ASSERT_EQ(read_boot_session(id), c.expected);
        if (c.expected == 1) {
            EXPECT_EQ(std::string(id.data()), c.value);
        }
        EXPECT_EQ(model().sysctl_name, "kern.bootsessionuuid");
        EXPECT_EQ(model().sysctl_length_in, 64u);
    }
}

// The kernel takes both IDs of a pair from one counter (coalition.c:97,
// 1349): a pair of two equal IDs is no job's.
TEST_F(CoalitionMacos, GuardRefusesDebuggersAndPairsNoJobCarries)
{
    refuse_debuggers();
    EXPECT_EQ(model().ptraces, std::vector<std::string>{"31 0 null 0"});
    EXPECT_EQ(is_job_pair(target), 1);
    EXPECT_EQ(is_job_pair({7, 7}), 0);
    EXPECT_EQ(is_job_pair({0, 8}), 0);
    EXPECT_EQ(is_job_pair({7, 0}), 0);
}

// What the kernel names as open is closed, also above a soft limit lowered
// after it was opened and past what one listing buffer holds; when the
// listing is refused, every descriptor under the limit is.
TEST_F(CoalitionMacos, ClosesEveryOpenDescriptorFromTheLowest)
{
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_GE(saved.rlim_cur, 1024u);
    constexpr int lowest = 600;
    constexpr int high = 1000;
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "listing refused" : "listed");
        reset();
        if (refused)
            model().refusals[{getpid(), PROC_PIDLISTFDS}] = EPERM;
        const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        for (int fd = lowest - 1; fd < lowest + 300; ++fd)
            ASSERT_EQ(dup2(null_fd, fd), fd);
        ASSERT_EQ(dup2(null_fd, high), high);
        close(null_fd);
        rlimit lowered = saved;
        lowered.rlim_cur = 800;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
        close_descriptors_from(lowest);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        EXPECT_EQ(fcntl(lowest - 1, F_GETFD), 0);
        EXPECT_EQ(fcntl(lowest, F_GETFD), -1);
        EXPECT_EQ(fcntl(799, F_GETFD), -1);
        EXPECT_EQ(fcntl(lowest + 299, F_GETFD), refused ? 0 : -1);
        EXPECT_EQ(fcntl(high, F_GETFD), refused ? 0 : -1);
        for (int fd = lowest - 1; fd < lowest + 300; ++fd)
            close(fd);
        close(high);
    }
}

} // namespace
