#pragma once

// The run sub-command: waits for the start file, runs the command under bash,
// captures its output and writes the result record. Returns only on failure.
int cmd_run(int argc, char **argv);
