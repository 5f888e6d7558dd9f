/*
 * A minimal caller of the session library: runs COMMAND as a guarded job,
 * passes its output on, and says how the session went. Exits 0 only when
 * the command succeeded and the job is shown gone.
 *
 *   cc session.c -IPREFIX/include/marloft_session -LPREFIX/lib \
 *       -lmarloft-session -lstdc++ -o session        (macOS: -lc++)
 *   ./session 'sleep 600 & echo hi' [PATH-TO-marloft-shell]
 */
#include <stdio.h>

#include <marloft_session.h>

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s COMMAND [MARLOFT-SHELL]\n", argv[0]);
        return 2;
    }
    struct marloft_options options = {0};
    options.command = argv[1];
    options.deadline_s = 60;
    options.shell = argc == 3 ? argv[2] : NULL; /* NULL: the installed one */

    struct marloft_outcome outcome;
    struct marloft_session *session = marloft_session_start(&options, &outcome);
    if (session != NULL) {
        marloft_session_wait(session);
        marloft_session_finish(session, &outcome);
        size_t size = 0;
        const char *out = marloft_session_output(session, MARLOFT_STDOUT, &size);
        fwrite(out, 1, size, stdout);
        marloft_session_free(session);
    }
    printf("session: %s\n", marloft_describe(outcome.status));
    if (!outcome.job_gone)
        printf("session: the job could not be shown gone\n");
    return outcome.status == MARLOFT_OK && outcome.job_gone && outcome.record.exit_code == 0 ? 0 : 1;
}
