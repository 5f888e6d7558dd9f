#pragma once

// Undoes what a careless caller may pass on through exec and that would
// otherwise break a sub-command that forks and waits:
//  - an ignored SIGCHLD, which makes the kernel reap our children so that
//    waitpid never reports them;
//  - a closed descriptor 0, 1 or 2, which the next pipe or file would take,
//    so that output meant for it lands somewhere else. Each is opened on
//    /dev/null.
void reset_inherited_state();
