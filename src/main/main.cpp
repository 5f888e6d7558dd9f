#include <string_view>

#include "main/exit_status.h"
#include "guard/guard.h"
#include "runner/runner.h"
#include "usage/usage.h"

int main(int argc, char **argv)
{
    if (argc < 2)
        return exit_dispatch;
    const std::string_view word = argv[1];
    if (word == "guard")
        return cmd_guard(argc, argv);
    if (word == "run")
        return cmd_run(argc, argv);
    if (word == "usage")
        return argc == 3 ? cmd_usage(argv[2]) : exit_dispatch;
    return exit_dispatch;
}
