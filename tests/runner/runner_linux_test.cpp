// What only Linux lets the runner tests see or set up: the runner's sleep
// and its children in procfs, a /bin/bash or /dev/null replaced in a mount
// namespace, and paths as long as Linux allows.

#include <filesystem>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "main/exit_status.h"
#include "runner_support.h"
#include "support/harness.h"

namespace {

// The runner sits in its 50 ms sleep between two tests of the start file.
bool waiting_for_start(pid_t pid)
{
    return read_file("/proc/" + std::to_string(pid) + "/wchan").find("nanosleep") !=
           std::string::npos;
}

bool has_children(pid_t pid)
{
    // ") S 1234 ": state, then the parent's pid.
    std::string parent = " ";
    parent += std::to_string(pid);
    parent += ' ';
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        const std::string stat = read_file(entry.path() / "stat");
        const size_t paren = stat.rfind(')');
        if (paren != std::string::npos && stat.compare(paren + 3, parent.size(), parent) == 0)
            return true;
    }
    return false;
}

TEST(Runner, RunsOnlyOnceTheStartFileAppears)
{
    session s;
    s.launch("touch " + s.dir / "ran", {}, true);
    ASSERT_TRUE(wait_until([&] { return waiting_for_start(s.pid); }, 5s));
    // Let it test and sleep a few more times before the file appears.
    ASSERT_FALSE(wait_until([&] { return !process_alive(s.pid) || has_children(s.pid); }, 300ms));
    EXPECT_FALSE(file_exists(s.dir / "ran"));
    EXPECT_FALSE(file_exists(s.out));
    EXPECT_FALSE(file_exists(s.err));

    write_file(s.start, "");
    EXPECT_EQ(s.await_record(5s), record(0, 0, false));
    EXPECT_TRUE(file_exists(s.dir / "ran"));
}

// A path of exactly path_length bytes under root: directories deep enough
// that the file name needs 100 to 200 bytes. Creates the directories.
std::string path_of_length(const std::string &root, size_t path_length)
{
    std::string dir = root;
    if (mkdir(dir.c_str(), 0700) != 0)
        return "";
    while (path_length - dir.size() - 1 > 200) {
        dir += "/" + std::string(100, 'd');
        if (mkdir(dir.c_str(), 0700) != 0)
            return "";
    }
    return dir + "/" + std::string(path_length - dir.size() - 1, 'r');
}

TEST(Runner, TemporaryResultPathAtTheLimitOfItsBuffer)
{
    // "RESULT.tmp" of 4095 bytes still fits the 4096-byte buffer; one more
    // byte must fail before anything is created, not cut the name short.
    for (const size_t temporary_length : {size_t{4095}, size_t{4096}}) {
        session s;
        const std::string result = path_of_length(s.dir / "deep", temporary_length - 4);
        ASSERT_EQ(result.size() + 4, temporary_length);
        const std::string dir = result.substr(0, result.rfind('/'));
        s.result = result;
        s.launch("echo done");
        if (temporary_length == 4095) {
            EXPECT_EQ(s.await_record(), record(0, 0, false));
            continue;
        }
        EXPECT_EQ(s.await_exit(), exit_run_result_create);
        EXPECT_EQ(read_file(s.out), "done\n");
        EXPECT_TRUE(std::filesystem::is_empty(dir));
    }
}

TEST(Runner, ACommandThatCannotBeStartedRecordsExitCode127)
{
    if (geteuid() != 0 || access("/usr/bin/unshare", X_OK) != 0)
        GTEST_SKIP() << "needs root and unshare(1) to hide /bin/bash in a mount namespace";
    session s;
    write_file(s.start, "");
    const std::string not_bash = s.dir / "not-bash";
    write_file(not_bash, "");
    // Only inside a mount namespace of its own is /bin/bash this empty,
    // non-executable file.
    s.pid = spawn({"/usr/bin/unshare", "--mount", "/bin/sh", "-c",
                   "mount --bind \"$0\" /bin/bash && exec \"$@\"", not_bash, shell_binary(), "run",
                   s.start, s.result, s.out, s.err, "echo never"});
    ASSERT_TRUE(wait_until([&] { return file_exists(s.result) || !process_alive(s.pid); }, 20s));
    if (!file_exists(s.result))
        GTEST_SKIP() << "could not bind-mount over /bin/bash";
    EXPECT_EQ(read_file(s.result), record(127, 0, false));
    EXPECT_EQ(read_file(s.out), "");
    EXPECT_EQ(read_file(s.err), "");
}

// /dev/null deleted and re-created by a root redirect is a plain file that
// nobody may open for writing: a closed standard descriptor then stays
// closed, and no pipe or file of the runner's may take its place.
TEST(Runner, ClosedStandardDescriptorsWhereDevNullCannotBeOpenedLoseNoOutput)
{
    if (geteuid() != 0 || access("/usr/bin/unshare", X_OK) != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root, unshare(1) and setpriv(1) to replace /dev/null in a mount namespace";
    temp_dir roots;
    const std::string plain_null = roots / "null";
    write_file(plain_null, "");
    ASSERT_EQ(chmod(plain_null.c_str(), 0644), 0);
    constexpr int mount_failed = 99;
    for (const char *closing : {"1>&-", "2>&-", "0<&- 1>&- 2>&-"}) {
        SCOPED_TRACE(closing);
        session s;
        ASSERT_EQ(chown(s.dir.path.c_str(), 65534, 65534), 0);
        write_file(s.start, "");
        const std::string script = "mount --bind \"$0\" /dev/null || exit " +
                                   std::to_string(mount_failed) +
                                   "; exec setpriv --reuid=65534 --regid=65534 --clear-groups \"$@\" " +
                                   closing;
        s.pid = spawn({"/usr/bin/unshare", "--mount", "/bin/sh", "-c", script, plain_null, shell_binary(),
                       "run", s.start, s.result, s.out, s.err, "echo out; echo err >&2"});
        ASSERT_TRUE(wait_until([&] { return file_exists(s.result) || !process_alive(s.pid); }, 20s));
        if (!file_exists(s.result) && s.await_exit() == mount_failed)
            GTEST_SKIP() << "could not bind-mount over /dev/null";
        EXPECT_EQ(read_file(s.result), record(0, 0, false));
        EXPECT_EQ(read_file(s.out), "out\n");
        EXPECT_EQ(read_file(s.err), "err\n");
    }
}

} // namespace
