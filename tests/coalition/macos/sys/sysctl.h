#pragma once

// Test stand-in for the platform's <sys/sysctl.h>: the one call the
// coalition backend makes; the model defines it.

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int sysctlbyname(const char *name, void *oldp, size_t *oldlenp, void *newp, size_t newlen);

#ifdef __cplusplus
}
#endif

// The session library's reading of a process's arguments.
#include <sys/types.h>

#define CTL_KERN 1
#define KERN_PROCARGS2 49

#ifdef __cplusplus
extern "C" {
#endif
int sysctl(int *name, u_int namelen, void *oldp, size_t *oldlenp, void *newp, size_t newlen);
#ifdef __cplusplus
}
#endif
