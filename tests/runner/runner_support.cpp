#include "runner_support.h"

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string record(int exit_code, int signal, bool truncated)
{
    char line[128];
    snprintf(line, sizeof line, "{\"exit_code\":%d,\"signal\":%d,\"truncated\":%s}\n", exit_code,
             signal, truncated ? "true" : "false");
    return line;
}

void session::launch(const std::string &command, spawn_options options, bool gated)
{
    if (!gated)
        write_file(start, "");
    bool names_stdin = false;
    for (const auto &[child_fd, parent_fd] : options.fds)
        names_stdin = names_stdin || child_fd == 0;
    const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (!names_stdin)
        options.fds.push_back({0, null_fd});
    pid = spawn({shell_binary(), "run", start, result, out, err, command}, options);
    close(null_fd);
}

std::string session::await_record(std::chrono::milliseconds timeout) const
{
    if (!wait_until([&] { return file_exists(result); }, timeout))
        return "";
    return read_file(result);
}

int session::await_exit(std::chrono::milliseconds timeout)
{
    const std::optional<int> status = wait_exit(pid, timeout);
    return status ? exit_code(*status) : -1;
}

int file_mode(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 07777);
}
