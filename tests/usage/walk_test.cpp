// The walk's limit logic on small trees, with the shared counters started
// next to their limits rather than building full trees on disk, and the
// descriptor handed to the walk closed on every way out of it.

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/harness.h"
#include "support/platform.h"
#include "usage/tree.h"
#include "usage/usage.h"

namespace {

// Among the first 1024, which is far more than a test ever holds.
int open_descriptors()
{
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd)
        n += fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
    return n;
}

bool is_closed(int fd)
{
    return fcntl(fd, F_GETFD) < 0 && errno == EBADF;
}

struct walk_case {
    const char *name;
    uint64_t entries; // counters as the walk finds them
    uint64_t bytes;
    int depth;
    std::function<void(const std::string &dir)> build;
    int result;
};

// Runs usage on dir as the row says and checks that it took the descriptor
// and left no other behind.
void expect_walk(const walk_case &c, const std::string &dir, int open_flags)
{
    const int before = open_descriptors();
    const int fd = open(dir.c_str(), open_flags);
    ASSERT_GE(fd, 0) << c.name;
    uint64_t entries = c.entries, bytes = c.bytes;
    EXPECT_EQ(usage(fd, c.depth, entries, bytes), c.result) << c.name;
    EXPECT_TRUE(is_closed(fd)) << c.name;
    EXPECT_EQ(open_descriptors(), before) << c.name;
}

constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

TEST(UsageWalk, CrossingRules)
{
    const auto one_file = [](const std::string &dir) { make_file(dir + "/f"); };
    const auto nothing = [](const std::string &) {};
    const walk_case cases[] = {
        {"an entry that reaches the entry limit", usage_max_entries - 1, 0, 0, one_file, 0},
        {"an entry past the entry limit", usage_max_entries, 0, 0, one_file, 1},
        {"an empty directory at the entry limit", usage_max_entries, 0, 0, nothing, 0},
        {"a link at the entry limit is one entry too many", usage_max_entries, 0, 0,
         [](const std::string &dir) { make_link("/", dir + "/l"); }, 1},
        {"a byte that reaches the byte limit", 0, usage_max_bytes - 1, 0,
         [](const std::string &dir) { make_file(dir + "/f", 1); }, 0},
        {"a byte past the byte limit", 0, usage_max_bytes - 1, 0,
         [](const std::string &dir) { make_file(dir + "/f", 2); }, 1},
        {"an empty file at the byte limit", 0, usage_max_bytes, 0, one_file, 0},
        {"directories, links, fifos add no bytes", 0, usage_max_bytes, 0,
         [](const std::string &dir) {
             make_chain(dir, 2);
             make_link(dir + "/d", dir + "/l");
             make_fifo(dir + "/fifo");
         },
         0},
        {"bytes crossed in a subdirectory stop the parent", 0, usage_max_bytes, 0,
         [](const std::string &dir) {
             make_chain(dir, 2);
             make_file(dir + "/d/d/f", 1);
         },
         1},
        {"the deepest level may hold files", 0, 0, usage_max_depth, one_file, 0},
        {"no subdirectory below the deepest level", 0, 0, usage_max_depth,
         [](const std::string &dir) { make_chain(dir, 1); }, 1},
        {"a subdirectory one level above the deepest", 0, 0, usage_max_depth - 1,
         [](const std::string &dir) { make_chain(dir, 1); }, 0},
        {"entered below the deepest level", 0, 0, usage_max_depth + 1, nothing, 1},
    };
    for (const walk_case &c : cases) {
        temp_dir t;
        c.build(t.path);
        expect_walk(c, t.path, directory_flags);
    }
}

TEST(UsageWalk, CountersAddUpAcrossTheTree)
{
    temp_dir t;
    make_chain(t.path, 3);
    make_file(t / "a", 10);
    make_file(t / "d/d/b", 20);
    make_hard_link(t / "a", t / "d/d/d/c");
    make_link(t / "a", t / "d/l");
    const int fd = open(t.path.c_str(), directory_flags);
    uint64_t entries = 0, bytes = 0;
    EXPECT_EQ(usage(fd, 0, entries, bytes), 0);
    EXPECT_EQ(entries, 7u);
    EXPECT_EQ(bytes, 40u);
}

TEST(UsageWalk, EveryWayOutClosesTheDescriptor)
{
    temp_dir t;
    make_file(t / "file");
    // Chains whose bottoms are reached with a stream open at every level.
    std::string bottom[2];
    for (const int i : {0, 1}) {
        const std::string top = t / ("chain" + std::to_string(i));
        make_dir(top);
        make_chain(top, usage_max_depth);
        bottom[i] = top;
        for (int level = 0; level < usage_max_depth; ++level)
            bottom[i] += "/d";
    }
    make_files({bottom[0]}, 2);
    make_file(bottom[1] + "/big", usage_max_bytes + 1);
    make_chain(bottom[1], 1);

    // Not a directory: no stream can be opened on it.
    expect_walk({"a descriptor of a regular file", 0, 0, 0, nullptr, 1}, t / "file",
                O_RDONLY | O_CLOEXEC);
    // A descriptor that can't be read from still opens as a stream, and its
    // first readdir fails: that must not pass for an empty directory.
    expect_walk({"a directory that can't be read", 0, 0, 0, nullptr, 1}, t.path,
                unreadable_directory_flags());
    expect_walk({"a whole walk", 0, 0, 0, nullptr, 0}, t / "chain0", directory_flags);
    // The 64 directories and one file reach the limit; the other file crosses it.
    expect_walk({"entries crossed at the deepest level",
                 usage_max_entries - usage_max_depth - 1, 0, 0, nullptr, 1},
                t / "chain0", directory_flags);
    expect_walk({"bytes or depth crossed at the deepest level", 0, 0, 0, nullptr, 1},
                t / "chain1", directory_flags);
}

} // namespace
