#pragma once

// The usage sub-command: exit_ok when the tree at root stays within its
// entry, byte and depth limits, exit_usage_root or exit_usage_exceeded otherwise.
int cmd_usage(const char *root);
