#include "guard/guard.h"

#include "main/exit_status.h"

int cmd_guard(int argc, char **)
{
    if (argc != 7 && argc != 10)
        return exit_guard_arguments;
    return exit_guard_arguments;
}
