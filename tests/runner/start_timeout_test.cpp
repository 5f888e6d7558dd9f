// The start file never appears: the runner gives up after its ten seconds
// of waiting without running anything.

#include <string>

#include <gtest/gtest.h>

#include "main/exit_status.h"
#include "runner_support.h"
#include "support/harness.h"

namespace {

TEST(RunnerSlow, NoStartFileGives21AndRunsNothing)
{
    session s;
    s.launch("touch " + s.dir / "ran", {}, true);
    EXPECT_EQ(s.await_exit(30s), exit_run_no_start);
    EXPECT_FALSE(file_exists(s.dir / "ran"));
    EXPECT_FALSE(file_exists(s.out));
    EXPECT_FALSE(file_exists(s.err));
    EXPECT_FALSE(file_exists(s.result));
}

} // namespace
