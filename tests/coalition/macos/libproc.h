#pragma once

// Test stand-in for the platform's <libproc.h>: the two calls the coalition
// backend makes, declared as the platform declares them, so that the real
// backend builds and runs here. The model in ../macos_model.cpp defines them.

#include <stdint.h>

#include <sys/proc_info.h>

#ifdef __cplusplus
extern "C" {
#endif

int proc_listpids(uint32_t type, uint32_t typeinfo, void *buffer, int buffersize);
int proc_pidinfo(int pid, int flavor, uint64_t arg, void *buffer, int buffersize);

#ifdef __cplusplus
}
#endif

// The session library's search for its runner.
#ifdef __cplusplus
extern "C" {
#endif
int proc_pidpath(int pid, void *buffer, uint32_t buffersize);
#ifdef __cplusplus
}
#endif
