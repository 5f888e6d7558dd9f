#include "fake_libproc.h"

#include <cerrno>
#include <cstring>

#include <libproc.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/sysctl.h>

#include <gtest/gtest.h>

namespace fake_libproc {

namespace {

constexpr unsigned char garbage = 0xa5;
// The calls of the largest scan a test runs, so that recording never
// allocates while a scan is being measured.
constexpr size_t call_reserve = 40000;

script the_script;

bool all_zero(const void *buffer, int size)
{
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    for (int i = 0; i < size; ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

void record(call_kind kind, int pid, int flavor, int size, uint32_t typeinfo,
            const void *buffer)
{
    const bool zeroed = buffer == nullptr || all_zero(buffer, size);
    the_script.calls.push_back({kind, pid, flavor, size, typeinfo, zeroed, errno, buffer});
}

void write_fields(const reply &r, int flavor, void *buffer, int size)
{
    auto *bytes = static_cast<unsigned char *>(buffer);
    memset(bytes, garbage, static_cast<size_t>(size));
    if (flavor == bsd_flavor && size >= 8)
        memcpy(bytes + 4, &r.status, sizeof r.status);
    if (flavor == coalition_flavor && size >= 16) {
        memcpy(bytes, &r.resource, sizeof r.resource);
        memcpy(bytes + 8, &r.jetsam, sizeof r.jetsam);
    }
}

} // namespace

reply bsd(uint32_t status)
{
    return {136, 0, status, 0, 0};
}

reply coalition(uint64_t resource, uint64_t jetsam, int error)
{
    return {40, error, 0, resource, jetsam};
}

reply failure(int result, int error)
{
    return {result, error, 0, 0, 0};
}

script &current()
{
    return the_script;
}

void reset()
{
    the_script = script{};
    the_script.calls.reserve(call_reserve);
    the_script.kills.reserve(16);
}

void set_process(pid_t pid, reply bsd_reply, reply coalition_reply)
{
    the_script.replies[{pid, bsd_flavor}] = {{bsd_reply}, 0};
    the_script.replies[{pid, coalition_flavor}] = {{coalition_reply}, 0};
}

} // namespace fake_libproc

using namespace fake_libproc;

extern "C" int proc_listpids(uint32_t type, uint32_t typeinfo, void *buffer, int buffersize)
{
    script &s = the_script;
    EXPECT_EQ(type, static_cast<uint32_t>(PROC_UID_ONLY));
    if (buffer == nullptr) {
        record(call_kind::list_size, 0, 0, buffersize, typeinfo, buffer);
        return s.size_result;
    }
    record(call_kind::list_fill, 0, 0, buffersize, typeinfo, buffer);
    const size_t room = static_cast<size_t>(buffersize) / sizeof(pid_t);
    const size_t n = s.pids.size() < room ? s.pids.size() : room;
    if (n > 0)
        memcpy(buffer, s.pids.data(), n * sizeof(pid_t));
    return s.fill_result ? *s.fill_result : static_cast<int>(s.pids.size() * sizeof(pid_t));
}

extern "C" int proc_pidinfo(int pid, int flavor, uint64_t arg, void *buffer, int buffersize)
{
    record(call_kind::pidinfo, pid, flavor, buffersize, 0, buffer);
    EXPECT_EQ(arg, 0u);
    const auto found = the_script.replies.find({pid, flavor});
    if (found == the_script.replies.end() || found->second.replies.empty()) {
        ADD_FAILURE() << "unscripted proc_pidinfo pid=" << pid << " flavor=" << flavor;
        errno = EINVAL;
        return -1;
    }
    const std::vector<reply> &replies = found->second.replies;
    size_t &n = found->second.answered;
    const reply &r = replies[n < replies.size() ? n : replies.size() - 1];
    ++n;
    write_fields(r, flavor, buffer, buffersize);
    if (r.error != 0)
        errno = r.error;
    return r.result;
}

extern "C" int sysctlbyname(const char *name, void *oldp, size_t *oldlenp, void *newp,
                            size_t newlen)
{
    script &s = the_script;
    record(call_kind::sysctl, 0, 0, static_cast<int>(*oldlenp), 0, oldp);
    s.sysctl_name = name;
    s.sysctl_length_in = *oldlenp;
    s.sysctl_sets_nothing = newp == nullptr && newlen == 0;
    const size_t n = s.boot_value.size() < *oldlenp ? s.boot_value.size() : *oldlenp;
    memcpy(oldp, s.boot_value.data(), n);
    *oldlenp = n;
    if (s.boot_error != 0)
        errno = s.boot_error;
    return s.boot_result;
}

// Takes the place of the C library's kill for the whole test program.
extern "C" int kill(pid_t pid, int sig)
{
    the_script.kills.push_back({pid, sig});
    const auto found = the_script.kill_replies.find(pid);
    if (found == the_script.kill_replies.end())
        return 0;
    errno = found->second.second;
    return found->second.first;
}

// Takes the place of the C library's ptrace too.
extern "C" int ptrace(int request, pid_t pid, caddr_t addr, int data)
{
    the_script.ptraces.push_back(std::to_string(request) + " " + std::to_string(pid) +
                                 (addr == nullptr ? " null " : " set ") + std::to_string(data));
    return 0;
}
