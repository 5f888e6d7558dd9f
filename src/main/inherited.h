#pragma once

// Undoes what a careless caller may pass on through exec and that would
// otherwise break a sub-command that forks and waits:
//  - an ignored SIGCHLD, which makes the kernel reap our children so that
//    waitpid never reports them;
//  - a closed descriptor 0, 1 or 2, which is opened on /dev/null where it
//    can be. Where it can't (a /dev/null re-created as a plain file nobody
//    may write), it stays closed: keep_above then keeps every descriptor of
//    ours off it.
void reset_inherited_state();

// The lowest descriptor a pipe or file of ours may have: below it lie the
// standard descriptors, which a child inherits and a closed one of which the
// next open would take, so that output meant for it lands somewhere else.
constexpr int first_private_fd = 3;

// fd itself when it is at least lowest (or negative); else a close-on-exec
// duplicate at lowest or above, with fd closed, or -1 when none could be
// made (fd is closed then too).
int keep_above(int fd, int lowest);
