// The macOS backend, compiled from its own source against the stand-in
// platform headers and driven through a scripted process table. Every test
// also checks that each query found its buffer zeroed and errno cleared, and,
// under AddressSanitizer, that a scan made at most one allocation and freed it.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "coalition/coalition.h"
#include "fake_libproc.h"

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

using namespace fake_libproc;

constexpr coalition_ids target{7, 8};
constexpr pid_t some_pid = 1000;

struct heap_log {
    bool on;
    int allocations;
    int frees;
    const volatile void *allocated;
    const volatile void *freed;
};
heap_log heap;

#ifdef COALITION_TEST_HEAP_HOOKS
void on_allocate(const volatile void *pointer, size_t)
{
    if (heap.on) {
        ++heap.allocations;
        heap.allocated = pointer;
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
           std::to_string(c.pid) + " flavor=" + std::to_string(c.flavor);
}

// The fill call of the listing, among the calls from index first on.
const call *fill_call(size_t first = 0)
{
    const std::vector<call> &calls = current().calls;
    for (size_t i = first; i < calls.size(); ++i)
        if (calls[i].kind == call_kind::list_fill)
            return &calls[i];
    return nullptr;
}

std::vector<pid_t> queried_pids()
{
    std::vector<pid_t> pids;
    for (const call &c : current().calls)
        if (c.kind == call_kind::pidinfo)
            pids.push_back(c.pid);
    return pids;
}

struct scan_result {
    int count;
    std::vector<pid_t> pids;
    std::string diagnostics;
};

scan_result scan(const coalition_ids &wanted = target)
{
    static member_list out;
    [[maybe_unused]] const size_t first_call = current().calls.size();
    testing::internal::CaptureStderr();
    heap = {true, 0, 0, nullptr, nullptr};
    const int count = members(wanted, out);
    heap.on = false;
    scan_result result{count, {}, testing::internal::GetCapturedStderr()};
    for (int i = 0; i < count; ++i)
        result.pids.push_back(out[static_cast<size_t>(i)]);
#ifdef COALITION_TEST_HEAP_HOOKS
    // One buffer, the one the listing was filled into, freed on every path.
    const call *fill = fill_call(first_call);
    EXPECT_EQ(heap.allocations, fill != nullptr ? 1 : heap.allocations);
    EXPECT_LE(heap.allocations, 1);
    EXPECT_EQ(heap.frees, heap.allocations);
    EXPECT_EQ(const_cast<const void *>(heap.freed), const_cast<const void *>(heap.allocated));
    if (fill != nullptr) {
        EXPECT_EQ(fill->buffer, const_cast<const void *>(heap.allocated));
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

class CoalitionMacos : public testing::Test {
protected:
    void SetUp() override { reset(); }

    void TearDown() override
    {
        for (const call &c : current().calls) {
            EXPECT_TRUE(c.zeroed) << describe(c);
            EXPECT_EQ(c.errno_on_entry, 0) << describe(c);
            if (c.kind == call_kind::list_size || c.kind == call_kind::list_fill) {
                EXPECT_EQ(c.typeinfo, getuid());
            }
            if (c.kind == call_kind::pidinfo) {
                EXPECT_EQ(c.size, c.flavor == bsd_flavor ? 136 : 40) << describe(c);
            }
        }
    }
};

TEST_F(CoalitionMacos, ListingThatCanNotBeTrustedFailsTheScan)
{
    struct listing_case {
        const char *name;
        int size_result;
        std::optional<int> fill_result;
        int expected;
    };
    // 8 bytes listed: room for 2 + 1024 entries, 4104 bytes.
    const listing_case cases[] = {
        {"size query fails", -1, std::nullopt, -1},
        {"size query lists nothing", 0, std::nullopt, -1},
        {"buffer size beyond int", INT_MAX, std::nullopt, -1},
        {"buffer size just beyond int", (INT_MAX / 4 - 1023) * 4, std::nullopt, -1},
        {"fill fails", 8, -1, -1},
        {"fill returns nothing", 8, 0, -1},
        {"filled to the last byte", 8, 4104, -1},
        {"filled beyond the buffer", 8, 4108, -1},
        {"filled one byte short of the end", 8, 4103, 0},
        {"fewer than 4 bytes filled", 8, 3, 0},
        {"one byte filled", 8, 1, 0},
    };
    for (const listing_case &c : cases) {
        reset();
        current().size_result = c.size_result;
        current().fill_result = c.fill_result;
        const scan_result r = scan();
        EXPECT_EQ(r.count, c.expected) << c.name;
        EXPECT_EQ(r.diagnostics, "") << c.name;
        EXPECT_TRUE(queried_pids().empty()) << c.name;
        const call *fill = fill_call();
        EXPECT_EQ(fill != nullptr, c.fill_result.has_value()) << c.name;
        if (fill != nullptr) {
            EXPECT_EQ(fill->size, (c.size_result / 4 + 1024) * 4) << c.name;
        }
        TearDown();
    }
}

TEST_F(CoalitionMacos, KernelProcessesAndTheCallerAreNeverQueried)
{
    current().pids = {0, 1, -1, getpid(), some_pid, INT_MIN};
    current().size_result = 24;
    set_process(some_pid, bsd(2), coalition(7, 8));
    const scan_result r = scan();
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.pids, std::vector<pid_t>{some_pid});
    EXPECT_EQ(queried_pids(), (std::vector<pid_t>{some_pid, some_pid}));
}

TEST_F(CoalitionMacos, EachProcessIsJudgedByStateAndPair)
{
    struct process_case {
        const char *name;
        reply bsd_reply;
        std::optional<reply> coalition_reply; // none: must not be queried
        int expected;
        const char *message; // printf format over pid (and state), "" for none
        int state;
        int error;
    };
    const char *bsd_message = "bsd metadata unavailable pid=%d errno=%d\n";
    const char *coalition_message = "coalition metadata unavailable pid=%d state=%d errno=%d\n";
    const process_case cases[] = {
        {"running member", bsd(2), coalition(7, 8), 1, "", 0, 0},
        {"stopped member", bsd(4), coalition(7, 8), 1, "", 0, 0},
        {"zombie", bsd(5), std::nullopt, 0, "", 0, 0},
        {"other jetsam", bsd(2), coalition(7, 9), 0, "", 0, 0},
        {"other resource", bsd(2), coalition(9, 8), 0, "", 0, 0},
        {"pair swapped", bsd(2), coalition(8, 7), 0, "", 0, 0},
        {"gone before the state", failure(-1, ESRCH), std::nullopt, 0, "", 0, 0},
        {"no entry for the state", failure(0, ENOENT), std::nullopt, 0, "", 0, 0},
        {"state refused", failure(-1, EPERM), std::nullopt, -1, bsd_message, EPERM, 0},
        {"state cut short, no errno", failure(100, 0), std::nullopt, -1, bsd_message, 0, 0},
        {"gone before the pair", bsd(2), failure(-1, ESRCH), 0, "", 0, 0},
        {"no entry for the pair", bsd(3), failure(0, ENOENT), 0, "", 0, 0},
        {"pair refused", bsd(3), failure(-1, EPERM), -1, coalition_message, 3, EPERM},
        {"pair cut short, no errno", bsd(2), failure(32, 0), -1, coalition_message, 2, 0},
        {"pair cut short after a state query that left errno set", {136, EAGAIN, 2, 0, 0},
         failure(32, 0), -1, coalition_message, 2, 0},
        {"full record, zero resource", bsd(2), coalition(0, 8, EPERM), 0, "", 0, 0},
        {"full record, zero jetsam", bsd(2), coalition(7, 0, EPERM), 0, "", 0, 0},
        {"full record, both zero", bsd(2), coalition(0, 0), 0, "", 0, 0},
    };
    for (const process_case &c : cases) {
        reset();
        current().pids = {some_pid};
        current().size_result = 4;
        current().replies[{some_pid, bsd_flavor}] = {{c.bsd_reply}, 0};
        if (c.coalition_reply)
            current().replies[{some_pid, coalition_flavor}] = {{*c.coalition_reply}, 0};
        const scan_result r = scan();
        EXPECT_EQ(r.count, c.expected) << c.name;
        const std::string expected_message =
            c.message[0] == '\0'
                ? ""
                : (c.message == bsd_message ? text(c.message, some_pid, c.state)
                                            : text(c.message, some_pid, c.state, c.error));
        EXPECT_EQ(r.diagnostics, expected_message) << c.name;
        TearDown();
    }
}

TEST_F(CoalitionMacos, MembersKeepListingOrderAndOneFailureFailsAll)
{
    current().pids = {1003, 1001, 1004, 1002};
    current().size_result = 16;
    set_process(1003, bsd(2), coalition(7, 8));
    set_process(1001, bsd(3), coalition(7, 8));
    set_process(1004, bsd(3), coalition(1, 2));
    set_process(1002, bsd(2), coalition(7, 8));
    EXPECT_EQ(scan().pids, (std::vector<pid_t>{1003, 1001, 1002}));

    current().replies[{1002, bsd_flavor}] = {{failure(-1, EIO)}, 0};
    const scan_result r = scan();
    EXPECT_EQ(r.count, -1);
    EXPECT_EQ(r.diagnostics, text("bsd metadata unavailable pid=%d errno=%d\n", 1002, EIO));
}

TEST_F(CoalitionMacos, AtMostTheMemberCapacityIsReported)
{
    for (const int listed : {member_capacity, member_capacity + 1}) {
        reset();
        for (int i = 0; i < listed; ++i) {
            const pid_t pid = 100000 + i;
            current().pids.push_back(pid);
            set_process(pid, bsd(2), coalition(7, 8));
        }
        current().size_result = listed * 4;
        const scan_result r = scan();
        EXPECT_EQ(r.diagnostics, "");
        if (listed == member_capacity) {
            ASSERT_EQ(r.count, member_capacity);
            EXPECT_EQ(r.pids.front(), 100000);
            EXPECT_EQ(r.pids.back(), 100000 + member_capacity - 1);
        } else {
            EXPECT_EQ(r.count, -1);
        }
        TearDown();
    }
}

TEST_F(CoalitionMacos, CheckedSignalSendsOnlyAfterTheRereadPairMatches)
{
    struct signal_case {
        const char *name;
        pid_t pid;
        std::optional<reply> coalition_reply; // none: must not be queried
        std::pair<int, int> kill_reply;
        coalition_ids wanted;
        int expected;
        bool sends;
    };
    const signal_case cases[] = {
        {"member", some_pid, coalition(7, 8), {0, 0}, target, 1, true},
        {"member already gone", some_pid, coalition(7, 8), {-1, ESRCH}, target, 1, true},
        {"member not ours to signal", some_pid, coalition(7, 8), {-1, EPERM}, target, 0, true},
        {"other pair", some_pid, coalition(7, 9), {0, 0}, target, 0, false},
        {"pair unreadable", some_pid, failure(-1, ESRCH), {0, 0}, target, 0, false},
        {"pair cut short", some_pid, failure(39, 0), {0, 0}, target, 0, false},
        {"zero pair against a zero target", some_pid, coalition(0, 0), {0, 0}, {0, 0}, 0, false},
        {"pid 1", 1, std::nullopt, {0, 0}, target, 0, false},
        {"pid 0", 0, std::nullopt, {0, 0}, target, 0, false},
        {"negative pid", -1, std::nullopt, {0, 0}, target, 0, false},
        {"the caller", getpid(), std::nullopt, {0, 0}, target, 0, false},
    };
    for (const signal_case &c : cases) {
        reset();
        if (c.coalition_reply)
            current().replies[{c.pid, coalition_flavor}] = {{*c.coalition_reply}, 0};
        current().kill_replies[c.pid] = c.kill_reply;
        errno = EPERM;
        EXPECT_EQ(checked_signal(c.pid, c.wanted, SIGKILL), c.expected) << c.name;
        const std::vector<std::pair<pid_t, int>> sent =
            c.sends ? std::vector<std::pair<pid_t, int>>{{c.pid, SIGKILL}}
                    : std::vector<std::pair<pid_t, int>>{};
        EXPECT_EQ(current().kills, sent) << c.name;
        EXPECT_EQ(queried_pids().size(), c.coalition_reply ? 1u : 0u) << c.name;
        TearDown();
    }
}

TEST_F(CoalitionMacos, IdentityNeedsAFullRecordWithBothIds)
{
    struct identity_case {
        const char *name;
        reply coalition_reply;
        int expected;
    };
    const identity_case cases[] = {
        {"valid pair", coalition(7, 8), 1},
        {"zero resource", coalition(0, 8), 0},
        {"zero jetsam", coalition(7, 0), 0},
        {"record cut short", failure(39, 0), 0},
        {"gone", failure(-1, ESRCH), 0},
        {"longer answer than asked", failure(41, 0), 0},
    };
    for (const identity_case &c : cases) {
        reset();
        current().replies[{some_pid, coalition_flavor}] = {{c.coalition_reply}, 0};
        coalition_ids ids{};
        EXPECT_EQ(identity(some_pid, &ids), c.expected) << c.name;
        if (c.expected == 1) {
            EXPECT_TRUE(ids == target) << c.name;
        }
        EXPECT_EQ(queried_pids(), std::vector<pid_t>{some_pid}) << c.name;
        TearDown();
    }
}

TEST_F(CoalitionMacos, BootSessionMustBeANonEmptyStringThatFits)
{
    struct boot_case {
        const char *name;
        std::string value; // what the call writes, terminator included
        int result;
        int error;
        int expected;
    };
    const std::string uuid = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
    const boot_case cases[] = {
        {"identifier", uuid + '\0', 0, 0, 1},
        {"longest that fits", std::string(63, 'a') + '\0', 0, 0, 1},
        {"call fails", uuid + '\0', -1, ENOMEM, 0},
        {"empty", std::string(1, '\0'), 0, 0, 0},
        {"no terminator within 64 bytes", std::string(64, 'a'), 0, 0, 0},
    };
    for (const boot_case &c : cases) {
        reset();
        current().boot_value = c.value;
        current().boot_result = c.result;
        current().boot_error = c.error;
        boot_session_id id;
        id.fill('x');
        ASSERT_EQ(read_boot_session(id), c.expected) << c.name;
        if (c.expected == 1) {
            EXPECT_EQ(std::string(id.data()), c.value.substr(0, c.value.size() - 1)) << c.name;
        }
        EXPECT_EQ(current().sysctl_name, "kern.bootsessionuuid") << c.name;
        EXPECT_EQ(current().sysctl_length_in, 64u) << c.name;
        EXPECT_TRUE(current().sysctl_sets_nothing) << c.name;
        TearDown();
    }
}

// What the guard does to itself at start, the platform's way.
TEST_F(CoalitionMacos, GuardRefusesDebuggersClosesWhatItInheritedAndTakesAnyValidPair)
{
    refuse_debuggers();
    EXPECT_EQ(current().ptraces, std::vector<std::string>{"31 0 null 0"});

    // From lowest to the last descriptor the limit allows; none below.
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const int last = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 16)) - 1;
    const int lowest = last - 8;
    const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (const int fd : {lowest - 1, lowest, last})
        ASSERT_EQ(dup2(null_fd, fd), fd);
    close(null_fd);
    close_descriptors_from(lowest);
    EXPECT_EQ(fcntl(lowest, F_GETFD), -1);
    EXPECT_EQ(fcntl(last, F_GETFD), -1);
    EXPECT_EQ(fcntl(lowest - 1, F_GETFD), 0);
    close(lowest - 1);

    EXPECT_EQ(is_job_pair(target), 1);
    EXPECT_EQ(is_job_pair({7, 7}), 1);
    EXPECT_EQ(is_job_pair({0, 8}), 0);
    EXPECT_EQ(is_job_pair({7, 0}), 0);
}

} // namespace
