#pragma once

// Test stand-in for the platform's <sys/ptrace.h>: the one request the
// coalition backend makes and the call, declared as the platform declares
// them; the model defines the call.

#include <sys/types.h>

#define PT_DENY_ATTACH 31

#ifdef __cplusplus
extern "C" {
#endif

int ptrace(int _request, pid_t _pid, caddr_t _addr, int _data);

#ifdef __cplusplus
}
#endif
