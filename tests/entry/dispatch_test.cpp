// The dispatcher's answer to every kind of bad invocation: a status, and
// nothing written.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "main/exit_status.h"
#include "support/harness.h"

namespace {

struct dispatch_case {
    const char *name;
    std::vector<std::string> args;
    int status;
};

TEST(Dispatch, StatusForEveryShapeOfInvocation)
{
    const dispatch_case cases[] = {
        {"no sub-command", {}, exit_dispatch},
        {"unknown word", {"status"}, exit_dispatch},
        {"empty word", {""}, exit_dispatch},
        {"guard in another case", {"Guard"}, exit_dispatch},
        {"run in another case", {"RUN"}, exit_dispatch},
        {"prefix of a word", {"gua"}, exit_dispatch},
        {"word with trailing text", {"usage2", "/"}, exit_dispatch},
        {"usage alone", {"usage"}, exit_dispatch},
        {"usage with two paths", {"usage", "/", "/"}, exit_dispatch},
        {"guard alone is the guard's own count check", {"guard"}, exit_guard_arguments},
        {"guard with eight arguments", {"guard", "2", "2", "t", "l", "1"}, exit_guard_arguments},
        {"run alone", {"run"}, exit_run_arguments},
        {"run with six arguments in all", {"run", "a", "b", "c", "d"}, exit_run_arguments},
        {"run with eight arguments in all", {"run", "a", "b", "c", "d", "e", "f"}, exit_run_arguments},
    };
    for (const auto &c : cases) {
        const run_result r = run_shell(c.args);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_EQ(r.err, "") << c.name;
    }
}

} // namespace
