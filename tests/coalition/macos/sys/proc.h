#pragma once

// Test stand-in for the platform's <sys/proc.h>: the one process state the
// coalition backend tells apart.

#define SZOMB 5
