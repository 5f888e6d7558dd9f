// Cost of one membership scan on Linux, per process on the machine, beside a
// baseline measured in the same run: list /proc and read each process's
// status file once. A process outside the target's group should cost the
// scan one small read, at most a third of what the baseline pays for it.
//
// With 100 and 1,000 extra idle processes of the user alive. The target is a
// group of our own holding a few processes when we may create one (root,
// cgroup v2), else a pair that no process carries.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DMARLOFT_BENCH=ON
//   cmake --build build/bench --target coalition_scan_bench
//   build/bench/bench/coalition_scan_bench --benchmark_repetitions=5

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "coalition/coalition.h"

namespace {

constexpr int group_members = 4;

std::vector<pid_t> start_idle(int count, int procs_fd)
{
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (procs_fd >= 0 && write(procs_fd, "0", 1) != 1)
                _exit(1);
            for (;;)
                pause();
        }
        if (pid < 0)
            break;
        pids.push_back(pid);
    }
    return pids;
}

void stop_idle(std::vector<pid_t> &pids)
{
    for (const pid_t pid : pids)
        kill(pid, SIGKILL);
    for (const pid_t pid : pids)
        waitpid(pid, nullptr, 0);
    pids.clear();
}

std::string cgroup2_mount()
{
    FILE *in = fopen("/proc/self/mountinfo", "r");
    if (in == nullptr)
        return {};
    char line[4096];
    std::string mount;
    while (mount.empty() && fgets(line, sizeof line, in) != nullptr) {
        char root[1024], point[1024];
        const char *dash = strstr(line, " - cgroup2 ");
        if (dash != nullptr && sscanf(line, "%*s %*s %*s %1023s %1023s", root, point) == 2 &&
            strcmp(root, "/") == 0)
            mount = point;
    }
    fclose(in);
    return mount;
}

// The group the scans look for, with a few members, or nothing.
struct target_group {
    std::string path;
    coalition_ids ids{~0ULL, ~0ULL};
    std::vector<pid_t> inside;

    target_group()
    {
        const std::string mount = cgroup2_mount();
        if (geteuid() != 0 || mount.empty())
            return;
        path = mount + "/marloft-bench-" + std::to_string(getpid());
        struct stat st;
        if (mkdir(path.c_str(), 0755) != 0 || stat(path.c_str(), &st) != 0) {
            path.clear();
            return;
        }
        const int procs_fd = open((path + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
        inside = start_idle(group_members, procs_fd);
        close(procs_fd);
        ids = {st.st_ino, st.st_ino};
        // Each child moves itself in; wait until all have.
        static member_list found;
        for (int i = 0; i < 10000 && ::members(ids, found) != group_members; ++i)
            usleep(1000);
    }

    ~target_group()
    {
        stop_idle(inside);
        if (!path.empty())
            rmdir(path.c_str());
    }
};

target_group *the_target;

int count_processes()
{
    DIR *proc = opendir("/proc");
    int count = 0;
    while (const dirent *entry = readdir(proc))
        count += entry->d_name[0] >= '1' && entry->d_name[0] <= '9';
    closedir(proc);
    return count;
}

// Lists /proc and reads one file of every process once.
int read_every(const char *file)
{
    const int proc_fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    alignas(dirent64) std::array<char, 16384> dents;
    std::array<char, 4096> buffer;
    int read_ok = 0;
    ssize_t got;
    while ((got = getdents64(proc_fd, dents.data(), dents.size())) > 0) {
        for (ssize_t offset = 0; offset < got;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(dents.data() + offset);
            offset += entry->d_reclen;
            if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
                continue;
            char name[300];
            snprintf(name, sizeof name, "%s/%s", entry->d_name, file);
            const int fd = openat(proc_fd, name, O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                continue;
            read_ok += read(fd, buffer.data(), buffer.size()) > 0;
            close(fd);
        }
    }
    close(proc_fd);
    return read_ok;
}

void per_process(benchmark::State &state, int processes)
{
    state.counters["processes"] = processes;
    state.counters["per_process"] = benchmark::Counter(
        processes, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void scan(benchmark::State &state)
{
    std::vector<pid_t> extra = start_idle(static_cast<int>(state.range(0)), -1);
    const int processes = count_processes();
    static member_list out;
    int found = 0;
    for (auto _ : state) {
        found = members(the_target->ids, out);
        benchmark::DoNotOptimize(found);
    }
    stop_idle(extra);
    if (found != static_cast<int>(the_target->inside.size()))
        state.SkipWithError("the scan did not find the group's members");
    per_process(state, processes);
}

void read_baseline(benchmark::State &state, const char *file)
{
    std::vector<pid_t> extra = start_idle(static_cast<int>(state.range(0)), -1);
    const int processes = count_processes();
    for (auto _ : state)
        benchmark::DoNotOptimize(read_every(file));
    stop_idle(extra);
    per_process(state, processes);
}

// The baseline: every status file, read once.
void status_baseline(benchmark::State &state)
{
    read_baseline(state, "status");
}

// The least that one read per process costs: every cgroup file, read once
// and not even parsed.
void cgroup_read_floor(benchmark::State &state)
{
    read_baseline(state, "cgroup");
}

BENCHMARK(scan)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(cgroup_read_floor)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(status_baseline)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

// Prints as usual and keeps each run's time per process for the summary.
struct summary_reporter : benchmark::ConsoleReporter {
    std::map<std::string, double> per_process_us;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        // With --benchmark_repetitions the median stands for the run.
        for (const Run &run : runs) {
            const auto found = run.counters.find("per_process");
            if (found == run.counters.end() || run.error_occurred ||
                !(run.aggregate_name.empty() || run.aggregate_name == "median"))
                continue;
            per_process_us[run.run_name.str()] = found->second.value * 1e6;
        }
    }
};

void print_summary(const summary_reporter &reporter)
{
    const auto &us = reporter.per_process_us;
    printf("\nmicroseconds per process, and ratios to the status baseline\n");
    printf("%6s %8s %8s %8s %11s %11s\n", "extra", "scan", "floor", "status", "scan/status",
           "floor/status");
    for (const std::string extra : {"100", "1000"}) {
        const auto scan_us = us.find("scan/" + extra);
        const auto floor_us = us.find("cgroup_read_floor/" + extra);
        const auto status_us = us.find("status_baseline/" + extra);
        if (scan_us == us.end() || floor_us == us.end() || status_us == us.end())
            continue;
        printf("%6s %8.2f %8.2f %8.2f %11.2f %11.2f\n", extra.c_str(), scan_us->second,
               floor_us->second, status_us->second, scan_us->second / status_us->second,
               floor_us->second / status_us->second);
    }
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    target_group target;
    the_target = &target;
    printf("target: %s\n", target.path.empty() ? "a pair no process carries"
                                               : (target.path + " with 4 members").c_str());
    summary_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_summary(reporter);
    benchmark::Shutdown();
    return 0;
}
