#pragma once

// The guard sub-command: admits a job's coalition, waits for its owner, then
// empties the coalition and boots the service out. Returns the exit status.
int cmd_guard(int argc, char **argv);
