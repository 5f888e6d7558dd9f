// The usage sub-command on real trees, run as the real binary: each limit at
// its edge and one past it, what counts as an entry and as bytes, what is
// never followed, roots that can't be walked, and a tree that changes under
// the walk. The answer is the status alone; nothing is ever printed.

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "main/exit_status.h"
#include "support/harness.h"
#include "support/platform.h"
#include "usage/tree.h"
#include "usage/usage.h"

namespace {

constexpr uint64_t half_limit = usage_max_bytes / 2;
constexpr uid_t nobody = 65534;

struct tree_case {
    const char *name;
    // Builds the tree below root; outside is a sibling of root for links to
    // point at.
    std::function<void(const std::string &root, const std::string &outside)> build;
    int status;
    const char *suffix = ""; // appended to root on the command line
};

// count entries in all: four directories at three depths and a link to "/",
// the rest files spread over every level.
void fill_entries(const std::string &root, uint64_t count)
{
    const std::string a = root + "/a", b = a + "/b", c = b + "/c", e = root + "/e";
    make_dir(a);
    make_dir(b);
    make_dir(c);
    make_dir(e);
    make_link("/", b + "/up");
    make_files({root, a, b, c, e}, count - 5);
}

run_result run_usage(const std::string &root, spawn_options options = {})
{
    return run_shell({"usage", root}, 20s, std::move(options));
}

void expect_cases(const tree_case *begin, const tree_case *end, const spawn_options &options = {})
{
    for (const tree_case *c = begin; c != end; ++c) {
        temp_dir t;
        const std::string root = t / "root", outside = t / "outside";
        make_dir(root);
        make_dir(outside);
        c->build(root, outside);
        if (options.run_as)
            chmod(t.path.c_str(), 0755);
        const run_result r = run_usage(root + c->suffix, options);
        EXPECT_EQ(r.status, c->status) << c->name;
        EXPECT_EQ(r.out, "") << c->name;
        EXPECT_EQ(r.err, "") << c->name;
    }
}

TEST(UsageTree, LimitsAtTheirEdges)
{
    const tree_case cases[] = {
        {"empty root", [](auto &, auto &) {}, exit_ok},
        {"10,000 entries at several depths",
         [](auto &root, auto &) { fill_entries(root, usage_max_entries); }, exit_ok},
        {"10,001 entries at several depths",
         [](auto &root, auto &) { fill_entries(root, usage_max_entries + 1); },
         exit_usage_exceeded},
        {"sparse files totalling exactly the byte limit",
         [](auto &root, auto &) {
             make_chain(root, 2);
             make_file(root + "/big", half_limit);
             make_file(root + "/d/d/big", half_limit - 1);
             make_file(root + "/d/one", 1);
             make_link(root + "/big", root + "/d/link");
         },
         exit_ok},
        {"one byte over the byte limit",
         [](auto &root, auto &) {
             make_chain(root, 2);
             make_file(root + "/big", half_limit);
             make_file(root + "/d/d/big", half_limit);
             make_file(root + "/d/one", 1);
         },
         exit_usage_exceeded},
        {"one sparse file over the byte limit",
         [](auto &root, auto &) { make_file(root + "/big", usage_max_bytes + 1); },
         exit_usage_exceeded},
        {"a hard-linked file counts once per name",
         [](auto &root, auto &) {
             make_dir(root + "/d");
             make_file(root + "/big", half_limit + 1);
             make_hard_link(root + "/big", root + "/d/again");
         },
         exit_usage_exceeded},
        {"64 nested directories", [](auto &root, auto &) { make_chain(root, usage_max_depth); },
         exit_ok},
        {"65 nested directories",
         [](auto &root, auto &) { make_chain(root, usage_max_depth + 1); }, exit_usage_exceeded},
        {"a link to a large tree is one entry and never entered",
         [](auto &root, auto &outside) {
             make_file(outside + "/big", 2 * usage_max_bytes);
             make_files({root}, usage_max_entries - 1);
             make_link(outside, root + "/link");
         },
         exit_ok},
        {"a link to a large tree is still an entry",
         [](auto &root, auto &outside) {
             make_files({root}, usage_max_entries);
             make_link(outside, root + "/link");
         },
         exit_usage_exceeded},
        {"a fifo, a socket and a hard link are names like any other",
         [](auto &root, auto &) {
             make_files({root}, usage_max_entries - 3);
             make_fifo(root + "/fifo");
             make_socket(root + "/socket");
             make_hard_link(root + "/f0", root + "/again");
         },
         exit_ok},
        {"a fifo, a socket and a hard link are counted",
         [](auto &root, auto &) {
             make_files({root}, usage_max_entries - 2);
             make_fifo(root + "/fifo");
             make_socket(root + "/socket");
             make_hard_link(root + "/f0", root + "/again");
         },
         exit_usage_exceeded},
    };
    expect_cases(std::begin(cases), std::end(cases));
}

TEST(UsageTree, RootThatIsNotAWalkableDirectory)
{
    const tree_case cases[] = {
        {"root given as a link to a directory",
         [](auto &root, auto &outside) {
             rmdir(root.c_str());
             make_link(outside, root);
         },
         exit_usage_root},
        {"root given as a link to a directory, with trailing slashes",
         [](auto &root, auto &outside) {
             rmdir(root.c_str());
             make_link(outside, root);
         },
         exit_usage_root, "//"},
        {"a directory with trailing slashes", [](auto &, auto &) {}, exit_ok, "//"},
        {"missing root", [](auto &root, auto &) { rmdir(root.c_str()); }, exit_usage_root},
        {"regular file as root",
         [](auto &root, auto &) {
             rmdir(root.c_str());
             make_file(root, 10);
         },
         exit_usage_root},
        // Opening a fifo for reading would wait for a writer forever.
        {"fifo as root",
         [](auto &root, auto &) {
             rmdir(root.c_str());
             make_fifo(root);
         },
         exit_usage_root},
    };
    expect_cases(std::begin(cases), std::end(cases));
    EXPECT_EQ(run_usage("").status, exit_usage_root) << "empty path";
}

TEST(UsageTree, LinksBeforeTheLastComponentOfTheRootAreFollowed)
{
    temp_dir t;
    make_dir(t / "real");
    make_dir(t / "real/workspace");
    make_file(t / "real/workspace/file", 1);
    make_link(t / "real", t / "via");
    EXPECT_EQ(run_usage(t / "via/workspace").status, exit_ok);
    make_link("../real/workspace", t / "real/workspace2");
    EXPECT_EQ(run_usage(t / "via/workspace2").status, exit_usage_root);
}

// Root reads every directory, so permission failures need another user.
TEST(UsageTree, WhatTheCallerCannotReadFailsTheWalk)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the walk as user " << nobody;
    spawn_options as_nobody;
    as_nobody.run_as = {nobody, nobody};
    {
        temp_dir t;
        chmod(t.path.c_str(), 0755);
        const run_result probe = run_usage(t.path, as_nobody);
        if (probe.status == 126 || probe.status == exit_exec_failed)
            GTEST_SKIP() << "user " << nobody << " can't run " << shell_binary();
    }
    const tree_case cases[] = {
        {"a readable tree", [](auto &root, auto &) { make_chain(root, 3); }, exit_ok},
        {"a subdirectory without any permission",
         [](auto &root, auto &) { make_dir(root + "/locked", 0); }, exit_usage_exceeded},
        {"a subdirectory that can be searched but not read",
         [](auto &root, auto &) { make_dir(root + "/locked", 0111); }, exit_usage_exceeded},
        {"a subdirectory that can be read but not searched",
         [](auto &root, auto &) {
             make_dir(root + "/locked");
             make_file(root + "/locked/file");
             chmod((root + "/locked").c_str(), 0444);
         },
         exit_usage_exceeded},
        {"a root without any permission",
         [](auto &root, auto &) { chmod(root.c_str(), 0); }, exit_usage_root},
    };
    expect_cases(std::begin(cases), std::end(cases), as_nobody);
}

// While the walk runs, another thread keeps exchanging each directory of the
// tree with a link to a tree that is far over the byte limit. Whatever the
// walk sees at a name, it must never count what lies behind a link.
TEST(UsageTree, DirectorySwappedForALinkNeverLeadsOutside)
{
    constexpr int pairs = 32;
    constexpr int max_runs = 400;
    temp_dir t;
    const std::string root = t / "root", outside = t / "outside";
    make_dir(root);
    make_dir(outside);
    make_file(outside + "/big", 2 * usage_max_bytes);
    for (int i = 0; i < pairs; ++i) {
        const std::string n = std::to_string(i);
        make_dir(root + "/d" + n);
        make_file(root + "/d" + n + "/file", 1);
        make_link(outside, root + "/l" + n);
    }

    std::atomic<bool> stop{false};
    std::atomic<long> swaps{0};
    std::thread swapper([&] {
        while (!stop.load())
            for (int i = 0; i < pairs; ++i) {
                const std::string n = std::to_string(i);
                if (exchange_paths(root + "/d" + n, root + "/l" + n))
                    swaps.fetch_add(1);
            }
    });
    int runs = 0, escaped = 0;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (runs < max_runs && std::chrono::steady_clock::now() < deadline) {
        const run_result r = run_usage(root);
        ++runs;
        if (r.status != exit_ok)
            ++escaped;
    }
    stop.store(true);
    swapper.join();
    EXPECT_GT(swaps.load(), pairs) << "the tree never changed while it was walked";
    EXPECT_EQ(escaped, 0) << "of " << runs << " walks";
}

} // namespace
