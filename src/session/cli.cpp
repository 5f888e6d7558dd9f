// marloft-session: one command, run as a job under its guard, with nothing of
// it left behind. A thin front end on the session library: it reads its
// options, runs one session, and hands the command's output and exit status
// on as its own, so that a caller can use it where it would have run the
// command itself.
//
// The command is one argument, a bash command line. Joining several
// arguments with spaces (as a remote shell does) would quietly re-split what
// the caller had quoted; a command of several words is written as one.

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include <getopt.h>
#include <jansson.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <libproc.h>
#endif

#include "marloft_session.h"

namespace {

// Every status marloft-session ends with, beside the command's own.
constexpr int exit_deadline = 124; // the deadline ended the command first; the job is gone
constexpr int exit_failed = 125;   // bad usage, or the session failed or could not show the job gone

constexpr std::string_view program = "marloft-session";

constexpr std::string_view usage_text =
    "Usage: marloft-session [-t SECONDS] [-u USER] [-k DIR] [--json] [--] COMMAND\n"
    "Run COMMAND, one bash command line, as a job under its guard, copy its\n"
    "output to this standard output and error, and exit with its status.\n"
    "Nothing of the job outlives the session: no process, group, service or\n"
    "directory.\n"
    "\n"
    "  -t, --deadline=SECONDS  end the job after SECONDS, 1 to 330 (default 300)\n"
    "  -u, --user=USER         the job's user (Linux, as root; default nobody)\n"
    "  -k, --keep=DIR          keep the work directory in DIR, which must not exist:\n"
    "                          the output, the command's record, the guard's log\n"
    "      --json              print the outcome and the output as one JSON line\n"
    "  -h, --help              print this help and exit\n"
    "  -V, --version           print the version and exit\n"
    "\n"
    "Exit status: the command's own, 128+N when signal N ended it; 124 when the\n"
    "deadline ended it first; 125 when the session failed or could not show the\n"
    "job gone, with one line on standard error saying why.\n"
    "See marloft-session(1).\n";

struct cli_options {
    marloft_options session;
    int json;
    int help;
    int version;
    std::string shell; // marloft-shell beside this executable, or empty
};

// One line on standard error, as every failure of this program says it.
void complain(std::string_view what, std::string_view detail = {})
{
    std::string line;
    line.append(program).append(": ").append(what).append(detail).append("\n");
    (void)!write(STDERR_FILENO, line.data(), line.size());
}

bool write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Strict: decimal digits only, within the guard's range.
bool parse_deadline(const char *text, int *deadline)
{
    int value = 0;
    for (const char *digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9' || value > MARLOFT_DEADLINE_MAX)
            return false;
        value = value * 10 + (*digit - '0');
    }
    if (*text == '\0' || value < MARLOFT_DEADLINE_MIN || value > MARLOFT_DEADLINE_MAX)
        return false;
    *deadline = value;
    return true;
}

// Returns -1 to go on, or the status to end with.
int parse_arguments(int argc, char **argv, cli_options *options)
{
    static const option longs[] = {
        {"deadline", required_argument, nullptr, 't'}, {"user", required_argument, nullptr, 'u'},
        {"keep", required_argument, nullptr, 'k'},     {"json", no_argument, nullptr, 'j'},
        {"help", no_argument, nullptr, 'h'},           {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int option_char;
    // "+": options end at the command, so its own dashes are never ours.
    while ((option_char = getopt_long(argc, argv, "+:t:u:k:hV", longs, nullptr)) != -1) {
        switch (option_char) {
        case 't':
            if (!parse_deadline(optarg, &options->session.deadline_s)) {
                complain("the deadline must be whole seconds from 1 to 330, not ", optarg);
                return exit_failed;
            }
            break;
        case 'u': options->session.user = optarg; break;
        case 'k': options->session.keep_dir = optarg; break;
        case 'j': options->json = 1; break;
        case 'h': options->help = 1; break;
        case 'V': options->version = 1; break;
        case ':':
            complain("an argument is missing after ", argv[optind - 1]);
            return exit_failed;
        default:
            complain("unknown option ", argv[optind - 1]);
            return exit_failed;
        }
    }
    if (options->help || options->version)
        return -1;
    if (argc - optind != 1) {
        complain(argc == optind ? "no COMMAND" : "COMMAND is one argument, a bash command line: quote it",
                 " (see marloft-session --help)");
        return exit_failed;
    }
    options->session.command = argv[optind];
    return -1;
}

// The path of this executable, from the kernel rather than argv[0].
bool own_path(char *path, size_t size)
{
#if defined(__APPLE__)
    return size >= PROC_PIDPATHINFO_MAXSIZE &&
           proc_pidpath(getpid(), path, static_cast<uint32_t>(size)) > 0;
#else
    const ssize_t length = readlink("/proc/self/exe", path, size - 1);
    if (length <= 0)
        return false;
    path[length] = '\0';
    return true;
#endif
}

// A marloft-shell beside this executable is the one it was built or
// installed with; without one, the library's installed default serves.
std::string neighbour_shell()
{
    char path[PATH_MAX * 2];
    if (!own_path(path, sizeof path))
        return {};
    char *slash = strrchr(path, '/');
    if (slash == nullptr)
        return {};
    std::string shell(path, static_cast<size_t>(slash - path + 1));
    shell.append("marloft-shell");
    return access(shell.c_str(), X_OK) == 0 ? shell : std::string();
}

// A signal that ended marloft-session mid-session would leave the job's
// group and work directory behind, so the ones meant to end it wait for the
// session's end (its deadline at the latest), then end it. Which of them
// came is kept where the kernel keeps it, in the signal's disposition: the
// handler that noted it swaps itself for a silent one. Handlers, unlike
// ignored signals, do not pass through an exec to the job.
constexpr std::array<int, 3> ending_signals = {SIGINT, SIGTERM, SIGHUP};

void signal_seen(int) {}

void set_handler(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    (void)sigaction(signal, &action, nullptr);
}

void note_signal(int signal)
{
    static constexpr char note[] =
        "marloft-session: ending once the session has, by its deadline at the latest\n";
    (void)!write(STDERR_FILENO, note, sizeof note - 1);
    set_handler(signal, signal_seen);
}

void defer_ending_signals()
{
    for (const int signal : ending_signals)
        set_handler(signal, note_signal);
}

// Ends the process by the first deferred signal that came, if any.
void end_by_deferred_signal()
{
    for (const int signal : ending_signals) {
        struct sigaction action {};
        if (sigaction(signal, nullptr, &action) != 0 || action.sa_handler != signal_seen)
            continue;
        set_handler(signal, SIG_DFL);
        (void)raise(signal);
    }
}

int command_status(const marloft_record &record)
{
    return record.exit_code >= 0 ? record.exit_code : 128 + record.signal;
}

// What the caller sees, by the one rule: the command's own status only when
// the job is shown gone.
int exit_status_of(const marloft_outcome &outcome)
{
    if (!outcome.job_gone || outcome.left_behind)
        return exit_failed;
    if (outcome.status == MARLOFT_OK && outcome.has_record)
        return command_status(outcome.record);
    if (outcome.status == MARLOFT_DEADLINE)
        return exit_deadline;
    return exit_failed;
}

void explain_failure(const cli_options &options, const marloft_outcome &outcome)
{
    switch (outcome.status) {
    case MARLOFT_OK:
    case MARLOFT_DEADLINE:
        if (outcome.job_gone)
            complain("the session could not remove its group or work directory, which another "
                     "process of the job's user held");
        else
            complain("the job could not be shown gone: ", marloft_describe(MARLOFT_NOT_EMPTIED));
        return;
    case MARLOFT_UNKNOWN_USER:
        complain("no such user: ", options.session.user ? options.session.user : "nobody");
        return;
    case MARLOFT_NO_SHELL:
        complain("no marloft-shell to run: ", options.shell.empty()
                     ? "none beside marloft-session, nor the installed one" : options.shell);
        return;
    default:
        complain(marloft_describe(outcome.status));
    }
}

// Length of the valid UTF-8 sequence that text begins with, or 0 with
// *invalid set to the length of its longest invalid start (at least 1).
// Overlong forms, surrogates and code points past U+10FFFF are invalid, as
// they are to the JSON library.
size_t utf8_sequence(const unsigned char *text, size_t size, size_t *invalid)
{
    const unsigned char lead = text[0];
    if (lead < 0x80)
        return 1;
    size_t more = 0;
    unsigned char low = 0x80, high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        more = 1;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        more = 2;
        low = lead == 0xe0 ? 0xa0 : low;
        high = lead == 0xed ? 0x9f : high;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        more = 3;
        low = lead == 0xf0 ? 0x90 : low;
        high = lead == 0xf4 ? 0x8f : high;
    }
    for (size_t i = 1; more > 0 && i <= more; ++i) {
        const bool first = i == 1;
        if (i >= size || text[i] < (first ? low : 0x80) || text[i] > (first ? high : 0xbf)) {
            *invalid = i;
            return 0;
        }
    }
    *invalid = 1;
    return more > 0 ? more + 1 : 0;
}

// The output as JSON can carry it: each invalid sequence becomes U+FFFD.
// Returns whether any did.
bool as_utf8(const char *data, size_t size, std::string *text)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    bool replaced = false;
    text->reserve(size);
    for (size_t at = 0; at < size;) {
        size_t invalid = 0;
        const size_t valid = utf8_sequence(bytes + at, size - at, &invalid);
        if (valid > 0) {
            text->append(data + at, valid);
            at += valid;
        } else {
            text->append("\xef\xbf\xbd");
            replaced = true;
            at += invalid;
        }
    }
    return replaced;
}

struct captured {
    const char *out;
    size_t out_size;
    const char *err;
    size_t err_size;
};

captured output_of(const marloft_session *session)
{
    captured output{"", 0, "", 0};
    if (session == nullptr)
        return output;
    const char *out = marloft_session_output(session, MARLOFT_STDOUT, &output.out_size);
    const char *err = marloft_session_output(session, MARLOFT_STDERR, &output.err_size);
    output.out = out != nullptr ? out : "";
    output.err = err != nullptr ? err : "";
    output.out_size = out != nullptr ? output.out_size : 0;
    output.err_size = err != nullptr ? output.err_size : 0;
    return output;
}

// The statuses' names in the JSON outcome, in the order of their values.
constexpr std::string_view status_names[] = {
    "ok", "deadline", "bad-options", "not-privileged", "no-cgroup2", "unknown-user",
    "no-shell", "setup-failed", "guard-refused", "runner-failed", "guard-failed", "not-emptied"};
static_assert(std::size(status_names) == MARLOFT_NOT_EMPTIED + 1, "a name for every status");

const char *status_name(marloft_status status)
{
    const auto index = static_cast<size_t>(status);
    if (index >= std::size(status_names))
        return "unknown";
    return status_names[index].data();
}

// null when there is none; nullptr when it could not be made.
json_t *summary_json(const marloft_outcome &outcome)
{
    if (!outcome.has_summary)
        return json_null();
    const marloft_summary &summary = outcome.summary;
    return json_pack("{s:b,s:i,s:i,s:i,s:s,s:i}", "cleaned", summary.cleaned, "stopped",
                     summary.stopped, "killed", summary.killed, "remaining", summary.remaining,
                     "reason", summary.by_deadline ? "deadline" : "owner-pipe-closed",
                     "bootout_status", summary.bootout_status);
}

json_t *record_json(const marloft_outcome &outcome)
{
    if (!outcome.has_record)
        return json_null();
    const marloft_record &record = outcome.record;
    return json_pack("{s:i,s:i,s:b}", "exit_code", record.exit_code, "signal", record.signal,
                     "truncated", record.truncated);
}

json_t *outcome_json(const marloft_outcome &outcome, const captured &output, int exit_status)
{
    json_t *summary = summary_json(outcome);
    json_t *record = record_json(outcome);
    std::string out, err;
    bool replaced = as_utf8(output.out, output.out_size, &out);
    replaced = as_utf8(output.err, output.err_size, &err) || replaced;
    if (summary == nullptr || record == nullptr) {
        json_decref(summary);
        json_decref(record);
        return nullptr;
    }
    // "o" hands both over, whether or not the pack succeeds.
    return json_pack("{s:s,s:s,s:i,s:b,s:b,s:b,s:i,s:o,s:o,s:s%,s:s%,s:b}", "status",
                     status_name(outcome.status), "description", marloft_describe(outcome.status),
                     "exit_status", exit_status, "job_gone", outcome.job_gone,
                     "cleaned_up_itself", outcome.cleaned_up_itself, "left_behind",
                     outcome.left_behind, "guard_status",
                     outcome.guard_status, "summary", summary, "record", record, "stdout",
                     out.data(), out.size(), "stderr", err.data(), err.size(),
                     "output_replaced", replaced);
}

bool print_json(const marloft_outcome &outcome, const captured &output, int exit_status)
{
    json_t *root = outcome_json(outcome, output, exit_status);
    char *line = root != nullptr ? json_dumps(root, JSON_COMPACT) : nullptr;
    json_decref(root);
    if (line == nullptr) {
        errno = ENOMEM;
        return false;
    }
    const bool written = write_all(STDOUT_FILENO, line, strlen(line)) && write_all(STDOUT_FILENO, "\n", 1);
    free(line);
    return written;
}

bool copy_output(const captured &output)
{
    return write_all(STDOUT_FILENO, output.out, output.out_size) &&
           write_all(STDERR_FILENO, output.err, output.err_size);
}

int run_session(const cli_options &options)
{
    marloft_outcome outcome{};
    marloft_session *session = marloft_session_start(&options.session, &outcome);
    if (session != nullptr) {
        marloft_session_wait(session);
        marloft_session_finish(session, &outcome);
    }
    int status = exit_status_of(outcome);
    const captured output = output_of(session);
    const bool written = options.json ? print_json(outcome, output, status) : copy_output(output);
    const int write_error = errno;
    marloft_session_free(session);
    if (status == exit_failed) {
        explain_failure(options, outcome);
    } else if (!written) {
        complain("could not pass the output on: ", strerror(write_error));
        status = exit_failed;
    } else if (!options.json && outcome.has_record && outcome.record.truncated) {
        complain("the command's output passed 64 KiB and was cut short");
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    cli_options options{};
    const int parsed = parse_arguments(argc, argv, &options);
    if (parsed >= 0)
        return parsed;
    if (options.help)
        return write_all(STDOUT_FILENO, usage_text.data(), usage_text.size()) ? 0 : exit_failed;
    if (options.version) {
        const std::string_view line = "marloft-session " MARLOFT_VERSION "\n";
        return write_all(STDOUT_FILENO, line.data(), line.size()) ? 0 : exit_failed;
    }
    struct stat kept;
    if (options.session.keep_dir != nullptr && lstat(options.session.keep_dir, &kept) == 0) {
        complain("the directory to keep must not exist yet: ", options.session.keep_dir);
        return exit_failed;
    }
    options.shell = neighbour_shell();
    options.session.shell = options.shell.empty() ? nullptr : options.shell.c_str();
    defer_ending_signals();
    const int status = run_session(options);
    end_by_deferred_signal();
    return status;
}
