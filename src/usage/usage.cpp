#include "usage/usage.h"

#include "main/exit_status.h"

int cmd_usage(const char *)
{
    return exit_usage_root;
}
