#include "session/session_macos.h"

// launchd starts the job's runner by itself, so the session learns its pid
// from the kernel: the one process of the user that runs marloft-shell with
// this session's start file among its arguments. The text of `launchctl
// print` is meant for people and changes between releases; the kernel's
// records do not. A process's arguments are its own memory, which it may
// rewrite at will, so they are read as untrusted bytes: bounded, and no
// match unless every string ends inside the record.

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <libproc.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <unistd.h>

namespace macos_job {

namespace {

// PROC_PIDPATHINFO_MAXSIZE: the largest buffer proc_pidpath takes.
constexpr size_t pidpath_size = 4096;
// A process's argument area never exceeds kern.argmax (1 MiB by default);
// anything claiming more is not a runner of ours.
constexpr size_t procargs_limit = 4u << 20;
constexpr size_t spare_entries = 256;
constexpr int await_attempts = 500;
constexpr useconds_t await_interval_us = 10'000;
constexpr int stop_rounds = 12;
constexpr int kill_rounds = 50;
constexpr useconds_t round_interval_us = 10'000;
constexpr mode_t plist_mode = 0644;

// Bytes on their way into a file, a buffer at a time.
struct xml_out {
    int fd;
    std::array<char, 4096> buffer;
    size_t used;
    bool ok;
};

void flush(xml_out &out)
{
    size_t done = 0;
    while (out.ok && done < out.used) {
        const ssize_t put = write(out.fd, out.buffer.data() + done, out.used - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            out.ok = false;
        else
            done += static_cast<size_t>(put);
    }
    out.used = 0;
}

void put(xml_out &out, std::string_view text)
{
    for (const char c : text) {
        if (out.used == out.buffer.size())
            flush(out);
        out.buffer[out.used++] = c;
    }
}

// Quotes both kinds are escaped so the text is safe in an attribute too. A
// carriage return goes as a reference: a parser turns a literal one into a
// newline, and the command would run changed.
void put_escaped(xml_out &out, std::string_view text)
{
    for (const char c : text) {
        switch (c) {
        case '&': put(out, "&amp;"); break;
        case '<': put(out, "&lt;"); break;
        case '>': put(out, "&gt;"); break;
        case '"': put(out, "&quot;"); break;
        case '\'': put(out, "&apos;"); break;
        case '\r': put(out, "&#13;"); break;
        default: put(out, std::string_view(&c, 1));
        }
    }
}

void put_entry(xml_out &out, std::string_view indent, const char *value)
{
    put(out, indent);
    put(out, "<string>");
    put_escaped(out, value);
    put(out, "</string>\n");
}

void put_key(xml_out &out, const char *key, const char *value)
{
    put(out, "\t<key>");
    put(out, key);
    put(out, "</key>\n");
    put_entry(out, "\t", value);
}

// No KeepAlive: a runner that ends must stay ended, not be started again.
void put_plist(xml_out &out, const job_spec &job)
{
    put(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
             "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
             "<plist version=\"1.0\">\n<dict>\n");
    put_key(out, "Label", job.label);
    put(out, "\t<key>ProgramArguments</key>\n\t<array>\n");
    for (const char *argument : arguments_of(job))
        put_entry(out, "\t\t", argument);
    put(out, "\t</array>\n\t<key>RunAtLoad</key>\n\t<true/>\n");
    put_key(out, "StandardInPath", "/dev/null");
    put_key(out, "WorkingDirectory", job.job_dir);
    put(out, "</dict>\n</plist>\n");
    flush(out);
}

// The length of the UTF-8 sequence that lead starts and the least code
// point it may encode (shorter forms are overlong); 0 for no valid lead.
int sequence_length(unsigned char lead, uint32_t &least)
{
    struct form {
        unsigned char first, last;
        uint32_t least;
        int length;
    };
    constexpr std::array<form, 3> forms{{{0xC2, 0xDF, 0x80, 2},
                                         {0xE0, 0xEF, 0x800, 3},
                                         {0xF0, 0xF4, 0x10000, 4}}};
    for (const form &f : forms) {
        if (lead >= f.first && lead <= f.last) {
            least = f.least;
            return f.length;
        }
    }
    return 0;
}

bool is_xml_char(uint32_t c)
{
    if (c < 0x20)
        return c == '\t' || c == '\n' || c == '\r';
    if (c >= 0xD800 && c <= 0xDFFF)
        return false;
    return c != 0xFFFE && c != 0xFFFF && c <= 0x10FFFF;
}

// The next string of a KERN_PROCARGS2 record at at, which moves past its
// NUL; false when it does not end inside the record.
bool next_string(const char *data, size_t length, size_t &at, std::string_view &out)
{
    if (at >= length)
        return false;
    const auto *end = static_cast<const char *>(memchr(data + at, '\0', length - at));
    if (end == nullptr)
        return false;
    out = std::string_view(data + at, static_cast<size_t>(end - (data + at)));
    at = static_cast<size_t>(end - data) + 1;
    return true;
}

bool runs_executable(pid_t pid, const char *executable)
{
    std::array<char, pidpath_size> path{};
    errno = 0;
    if (proc_pidpath(pid, path.data(), static_cast<uint32_t>(path.size())) <= 0)
        return false;
    path.back() = '\0';
    return strcmp(path.data(), executable) == 0;
}

// Reads pid's KERN_PROCARGS2 record into a fresh allocation, sized by the
// kernel's own answer; nullptr when it can't be read (another user's, gone).
char *read_procargs(pid_t pid, size_t &length)
{
    int mib[3] = {CTL_KERN, KERN_PROCARGS2, pid};
    size_t size = 0;
    if (sysctl(mib, 3, nullptr, &size, nullptr, 0) != 0 || size < sizeof(int) ||
        size > procargs_limit)
        return nullptr;
    auto *data = static_cast<char *>(calloc(size, 1));
    if (data == nullptr)
        return nullptr;
    length = size;
    if (sysctl(mib, 3, data, &length, nullptr, 0) != 0 || length > size) {
        free(data);
        return nullptr;
    }
    return data;
}

bool runs_arguments(pid_t pid, const runner_arguments &expected)
{
    size_t length = 0;
    char *data = read_procargs(pid, length);
    if (data == nullptr)
        return false;
    const bool match = has_arguments(data, length, expected);
    free(data);
    return match;
}

// The user's processes by effective uid, as launchd runs the job; the count
// written to a fresh allocation, or -1.
long list_users_processes(pid_t *&pids)
{
    const int needed = proc_listpids(PROC_UID_ONLY, getuid(), nullptr, 0);
    if (needed < 1)
        return -1;
    const size_t room = static_cast<size_t>(needed) / sizeof(pid_t) + spare_entries;
    pids = static_cast<pid_t *>(calloc(room, sizeof(pid_t)));
    if (pids == nullptr)
        return -1;
    const auto size = static_cast<int>(room * sizeof(pid_t));
    const int filled = proc_listpids(PROC_UID_ONLY, getuid(), pids, size);
    // A full buffer may have been cut short without a word.
    if (filled < 1 || filled >= size) {
        free(pids);
        return -1;
    }
    return static_cast<long>(static_cast<size_t>(filled) / sizeof(pid_t));
}

// Signals every member of pair once; the count found, or -1.
int signal_members(const coalition_ids &pair, member_list &list, int sig)
{
    const int listed = members(pair, list);
    for (int i = 0; i < listed; ++i)
        (void)checked_signal(list[static_cast<size_t>(i)], pair, sig);
    return listed;
}

} // namespace

runner_arguments arguments_of(const job_spec &job)
{
    return {job.shell, "run", job.start, job.result, job.out, job.err, job.command};
}

bool is_xml_text(const char *text)
{
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    for (size_t i = 0; s[i] != 0;) {
        if (s[i] < 0x80) {
            if (!is_xml_char(s[i++]))
                return false;
            continue;
        }
        uint32_t least = 0;
        const int n = sequence_length(s[i], least);
        if (n == 0)
            return false;
        uint32_t c = s[i] & (0xFFu >> (n + 1));
        for (int k = 1; k < n; ++k) {
            if ((s[i + static_cast<size_t>(k)] & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (s[i + static_cast<size_t>(k)] & 0x3Fu);
        }
        if (c < least || !is_xml_char(c))
            return false;
        i += static_cast<size_t>(n);
    }
    return true;
}

plist_status write_plist(const job_spec &job, const char *path)
{
    for (const char *text : arguments_of(job))
        if (!is_xml_text(text))
            return plist_status::unfit_text;
    if (!is_xml_text(job.label) || !is_xml_text(job.job_dir))
        return plist_status::unfit_text;
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, plist_mode);
    if (fd < 0)
        return plist_status::failed;
    xml_out out{fd, {}, 0, fchmod(fd, plist_mode) == 0};
    put_plist(out, job);
    if (close(fd) != 0 || !out.ok) {
        unlink(path);
        return plist_status::failed;
    }
    return plist_status::written;
}

bool has_arguments(const char *data, size_t length, const runner_arguments &expected)
{
    int argc = 0;
    if (length < sizeof argc)
        return false;
    memcpy(&argc, data, sizeof argc);
    if (argc != runner_argc)
        return false;
    size_t at = sizeof argc;
    std::string_view text;
    if (!next_string(data, length, at, text))
        return false; // the exec path
    while (at < length && data[at] == '\0')
        ++at; // its padding
    for (size_t i = 0; i < expected.size(); ++i) {
        if (!next_string(data, length, at, text))
            return false;
        // launchd's choice of argv[0] is its own; the rest are ours.
        if (i > 0 && text != expected[i])
            return false;
    }
    return true;
}

search find_runner(const job_spec &job, const char *executable, pid_t &runner)
{
    pid_t *pids = nullptr;
    const long listed = list_users_processes(pids);
    if (listed < 0)
        return search::failed;
    const runner_arguments expected = arguments_of(job);
    const pid_t self = getpid();
    int found = 0;
    for (long i = 0; i < listed; ++i) {
        const pid_t pid = pids[i];
        if (pid < 2 || pid == self || !runs_executable(pid, executable) ||
            !runs_arguments(pid, expected))
            continue;
        runner = pid;
        ++found;
    }
    free(pids);
    if (found > 1)
        return search::failed;
    return found == 1 ? search::found : search::none;
}

search await_runner(const job_spec &job, const char *executable, pid_t &runner)
{
    for (int attempt = 0; attempt < await_attempts; ++attempt) {
        const search result = find_runner(job, executable, runner);
        if (result != search::none)
            return result;
        usleep(await_interval_us);
    }
    return search::none;
}

// Freezes before it kills, as the guard does: a member that forks while the
// kill rounds run could otherwise stay a step ahead of them.
bool empty_coalition(const coalition_ids &pair)
{
    member_list list;
    for (int round = 0; round < stop_rounds; ++round) {
        if (signal_members(pair, list, SIGSTOP) == 0)
            return true;
        usleep(round_interval_us);
    }
    for (int round = 0; round < kill_rounds; ++round) {
        if (signal_members(pair, list, SIGKILL) == 0)
            return true;
        usleep(round_interval_us);
    }
    return false;
}

} // namespace macos_job
