#pragma once

#include <cstdint>

// The usage sub-command: exit_ok when the tree at root stays within its
// entry, byte and depth limits, exit_usage_root or exit_usage_exceeded otherwise.
int cmd_usage(const char *root);

// A tree is within its limits when it holds at most usage_max_entries names
// (everything but "." and ".."), at most usage_max_bytes of apparent file
// size, and no directory more than usage_max_depth levels below the root.
constexpr uint64_t usage_max_entries = 10'000;
constexpr uint64_t usage_max_bytes = 536'870'912;
constexpr int usage_max_depth = 64;

// Walks the directory open on dir, which lies depth levels below the root,
// adding into the two counters that the whole walk shares. Returns 0 when it
// and everything below it stayed within the limits, 1 when a limit was
// crossed or the walk failed. Closes dir on every path.
int usage(int dir, int depth, uint64_t &entries, uint64_t &bytes);
