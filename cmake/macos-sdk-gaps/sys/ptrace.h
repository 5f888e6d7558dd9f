#pragma once

// Zig's copy of Apple's SDK leaves out <sys/ptrace.h>, though libSystem
// exports the call. The macOS cross build falls back on these two
// declarations, as the SDK makes them; searched after the SDK's own
// headers, they give way to a real one wherever there is one.

#include <sys/types.h>

#define PT_DENY_ATTACH 31

#ifdef __cplusplus
extern "C" {
#endif

int ptrace(int _request, pid_t _pid, caddr_t _addr, int _data);

#ifdef __cplusplus
}
#endif
