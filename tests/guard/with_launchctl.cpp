// with_launchctl DIR PROGRAM [ARGS...]: runs PROGRAM with DIR's stand-in
// launchctl visible as /bin/launchctl, for PROGRAM alone. Descriptors pass
// through unchanged.

#include <cstdio>

#include <unistd.h>

#include "guard/launchctl_standin.h"

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: with_launchctl DIR PROGRAM [ARGS...]\n");
        return 125;
    }
    const std::string failed = use_private_launchctl(argv[1]);
    if (!failed.empty()) {
        fprintf(stderr, "with_launchctl: %s\n", failed.c_str());
        return 125;
    }
    execv(argv[2], argv + 2);
    perror("with_launchctl: exec");
    return 125;
}
