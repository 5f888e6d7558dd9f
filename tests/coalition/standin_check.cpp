// Built on Apple only, and never run: it compiles when, and only when, the
// stand-in headers in macos/ declare what the platform's own headers do, so
// that the backend the Linux tests exercise is the one macOS builds.
//
// The stand-in reuses the platform's names, so it is included a second time
// inside a namespace of its own: a C function it declares with another type
// clashes with the platform's declaration of the same function, a record it
// lays out otherwise fails the field checks, and a constant of another value
// fails the value checks. A new stand-in header joins in three steps: include
// the platform's header here, include the stand-in's inside the namespace,
// and compare what it declares below.

#include <cstddef>
#include <type_traits>

#include <libproc.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#include <sys/ptrace.h>
#include <sys/sysctl.h>

namespace platform {
constexpr auto all_pids = PROC_ALL_PIDS;
constexpr auto uid_only = PROC_UID_ONLY;
constexpr auto ruid_only = PROC_RUID_ONLY;
constexpr auto list_fds = PROC_PIDLISTFDS;
constexpr auto bsd_info = PROC_PIDTBSDINFO;
constexpr auto short_bsd_info = PROC_PIDT_SHORTBSDINFO;
constexpr auto zombie = SZOMB;
constexpr auto deny_attach = PT_DENY_ATTACH;
} // namespace platform

// What the session library's search for its runner uses.
namespace platform {
constexpr auto ctl_kern = CTL_KERN;
constexpr auto procargs2 = KERN_PROCARGS2;
constexpr auto pidpath_max = PROC_PIDPATHINFO_MAXSIZE;
} // namespace platform
#undef CTL_KERN
#undef KERN_PROCARGS2

// The stand-in defines these again.
#undef PROC_ALL_PIDS
#undef PROC_UID_ONLY
#undef PROC_RUID_ONLY
#undef PROC_PIDLISTFDS
#undef PROC_PIDTBSDINFO
#undef PROC_PIDT_SHORTBSDINFO
#undef SZOMB
#undef PT_DENY_ATTACH

namespace standin {
#include "macos/libproc.h"
#include "macos/sys/proc.h"
#include "macos/sys/proc_info.h"
#include "macos/sys/ptrace.h"
#include "macos/sys/sysctl.h"
} // namespace standin

static_assert(PROC_ALL_PIDS == platform::all_pids, "PROC_ALL_PIDS");
static_assert(PROC_UID_ONLY == platform::uid_only, "PROC_UID_ONLY");
static_assert(PROC_RUID_ONLY == platform::ruid_only, "PROC_RUID_ONLY");
static_assert(PROC_PIDLISTFDS == platform::list_fds, "PROC_PIDLISTFDS");
static_assert(PROC_PIDTBSDINFO == platform::bsd_info, "PROC_PIDTBSDINFO");
static_assert(PROC_PIDT_SHORTBSDINFO == platform::short_bsd_info, "PROC_PIDT_SHORTBSDINFO");
static_assert(SZOMB == platform::zombie, "SZOMB");
static_assert(PT_DENY_ATTACH == platform::deny_attach, "PT_DENY_ATTACH");
static_assert(CTL_KERN == platform::ctl_kern, "CTL_KERN");
static_assert(KERN_PROCARGS2 == platform::procargs2, "KERN_PROCARGS2");
// The session library sizes its proc_pidpath buffer at 4 KiB, the most it takes.
static_assert(platform::pidpath_max == 4096, "PROC_PIDPATHINFO_MAXSIZE");

// The functions the stand-in declares are the platform's functions.
static_assert(std::is_same_v<decltype(&standin::proc_listpids), decltype(&::proc_listpids)>);
static_assert(std::is_same_v<decltype(&standin::proc_pidinfo), decltype(&::proc_pidinfo)>);
static_assert(std::is_same_v<decltype(&standin::sysctlbyname), decltype(&::sysctlbyname)>);
static_assert(std::is_same_v<decltype(&standin::ptrace), decltype(&::ptrace)>);
static_assert(std::is_same_v<decltype(&standin::proc_pidpath), decltype(&::proc_pidpath)>);
static_assert(std::is_same_v<decltype(&standin::sysctl), decltype(&::sysctl)>);

using platform_bsd = ::proc_bsdinfo;
using standin_bsd = standin::proc_bsdinfo;

// A record's field where the platform has it, of the platform's type.
#define SAME_FIELD_OF(platform_record, standin_record, name)                                   \
    static_assert(offsetof(platform_record, name) == offsetof(standin_record, name),           \
                  #name " offset");                                                           \
    static_assert(std::is_same_v<decltype(platform_record::name), decltype(standin_record::name)>, \
                  #name " type")
#define SAME_FIELD(name) SAME_FIELD_OF(platform_bsd, standin_bsd, name)

SAME_FIELD(pbi_flags);
SAME_FIELD(pbi_status);
SAME_FIELD(pbi_xstatus);
SAME_FIELD(pbi_pid);
SAME_FIELD(pbi_ppid);
SAME_FIELD(pbi_uid);
SAME_FIELD(pbi_gid);
SAME_FIELD(pbi_ruid);
SAME_FIELD(pbi_rgid);
SAME_FIELD(pbi_svuid);
SAME_FIELD(pbi_svgid);
SAME_FIELD(rfu_1);
SAME_FIELD(pbi_comm);
SAME_FIELD(pbi_name);
SAME_FIELD(pbi_nfiles);
SAME_FIELD(pbi_pgid);
SAME_FIELD(pbi_pjobc);
SAME_FIELD(e_tdev);
SAME_FIELD(e_tpgid);
SAME_FIELD(pbi_nice);
SAME_FIELD(pbi_start_tvsec);
SAME_FIELD(pbi_start_tvusec);
// With every field above in place, equal sizes leave no room for one more.
static_assert(sizeof(platform_bsd) == sizeof(standin_bsd), "proc_bsdinfo size");
static_assert(alignof(platform_bsd) == alignof(standin_bsd), "proc_bsdinfo alignment");

using platform_short = ::proc_bsdshortinfo;
using standin_short = standin::proc_bsdshortinfo;
SAME_FIELD_OF(platform_short, standin_short, pbsi_pid);
SAME_FIELD_OF(platform_short, standin_short, pbsi_ppid);
SAME_FIELD_OF(platform_short, standin_short, pbsi_pgid);
SAME_FIELD_OF(platform_short, standin_short, pbsi_status);
SAME_FIELD_OF(platform_short, standin_short, pbsi_comm);
SAME_FIELD_OF(platform_short, standin_short, pbsi_flags);
SAME_FIELD_OF(platform_short, standin_short, pbsi_uid);
SAME_FIELD_OF(platform_short, standin_short, pbsi_gid);
SAME_FIELD_OF(platform_short, standin_short, pbsi_ruid);
SAME_FIELD_OF(platform_short, standin_short, pbsi_rgid);
SAME_FIELD_OF(platform_short, standin_short, pbsi_svuid);
SAME_FIELD_OF(platform_short, standin_short, pbsi_svgid);
SAME_FIELD_OF(platform_short, standin_short, pbsi_rfu);
static_assert(sizeof(platform_short) == sizeof(standin_short), "proc_bsdshortinfo size");
static_assert(alignof(platform_short) == alignof(standin_short), "proc_bsdshortinfo alignment");

using platform_fd = ::proc_fdinfo;
using standin_fd = standin::proc_fdinfo;
SAME_FIELD_OF(platform_fd, standin_fd, proc_fd);
SAME_FIELD_OF(platform_fd, standin_fd, proc_fdtype);
static_assert(sizeof(platform_fd) == sizeof(standin_fd), "proc_fdinfo size");
static_assert(alignof(platform_fd) == alignof(standin_fd), "proc_fdinfo alignment");
