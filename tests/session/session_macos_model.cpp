#include "session_macos_model.h"

// The kernel's rules as read from xnu's bsd/kern/kern_sysctl.c
// (sysctl_procargsx) and libsyscall's libproc.c (proc_pidpath); unlike the
// process table model's, these are not pinned to line numbers.

#include <cerrno>
#include <cstring>

#include <libproc.h>
#include <sys/sysctl.h>

#include <gtest/gtest.h>

#include "../coalition/macos_model.h"

namespace session_model {

namespace {

// PROC_PIDPATHINFO_SIZE and PROC_PIDPATHINFO_MAXSIZE.
constexpr uint32_t pidpath_least = 1024;
constexpr uint32_t pidpath_most = 4096;

std::map<pid_t, image> the_images;

// A live process of the table with an image, or nullptr: a zombie is
// looked up by neither call.
const image *live_image(pid_t pid)
{
    const macos_model::process *p = macos_model::find(pid);
    if (p == nullptr || (p->state != macos_model::run_state::running &&
                         p->state != macos_model::run_state::stopped))
        return nullptr;
    const auto found = the_images.find(pid);
    return found == the_images.end() ? nullptr : &found->second;
}

} // namespace

std::map<pid_t, image> &images()
{
    return the_images;
}

std::string procargs(const std::string &exec_path, const std::vector<std::string> &argv,
                     const std::vector<std::string> &environment)
{
    const int argc = static_cast<int>(argv.size());
    std::string out(reinterpret_cast<const char *>(&argc), sizeof argc);
    out += exec_path;
    out.append(sizeof(int) - out.size() % sizeof(int), '\0');
    for (const auto &strings : {argv, environment})
        for (const std::string &s : strings)
            out.append(s).push_back('\0');
    return out;
}

} // namespace session_model

using namespace session_model;

// libproc refuses a buffer outside its bounds before it asks the kernel; a
// gone process or a zombie answers ESRCH; success is the path's length.
extern "C" int proc_pidpath(int pid, void *buffer, uint32_t buffersize)
{
    if (buffersize < pidpath_least || buffersize > pidpath_most) {
        errno = buffersize < pidpath_least ? ENOMEM : EOVERFLOW;
        return 0;
    }
    const image *found = live_image(pid);
    if (found == nullptr) {
        errno = ESRCH;
        return 0;
    }
    EXPECT_LT(found->path.size(), buffersize);
    memcpy(buffer, found->path.c_str(), found->path.size() + 1);
    return static_cast<int>(found->path.size());
}

// Only root or a caller of the target's effective uid reads its arguments;
// any other caller, a gone process or a zombie gets EINVAL. A NULL buffer
// asks for the record's size.
extern "C" int sysctl(int *name, u_int namelen, void *oldp, size_t *oldlenp, void *newp,
                      size_t newlen)
{
    EXPECT_TRUE(namelen == 3 && name[0] == CTL_KERN && name[1] == KERN_PROCARGS2)
        << "only a process's arguments are read";
    EXPECT_TRUE(newp == nullptr && newlen == 0) << "arguments are only read";
    const image *found = live_image(name[2]);
    const macos_model::process *p = macos_model::find(name[2]);
    const uid_t caller = macos_model::model().caller.euid;
    if (found == nullptr || (caller != 0 && caller != p->euid)) {
        errno = EINVAL;
        return -1;
    }
    const std::string &record = found->args;
    if (oldp != nullptr) {
        // Sized by the answer to a NULL buffer, and nothing execs between.
        EXPECT_GE(*oldlenp, record.size()) << "a buffer short of the record's size";
        memcpy(oldp, record.data(), std::min(*oldlenp, record.size()));
    }
    *oldlenp = record.size();
    return 0;
}
