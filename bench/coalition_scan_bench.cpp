// Cost of the Linux backend's queries, each beside a baseline measured in the
// same run. Needs root and cgroup v2: every job is a group of our own.
//
//   scan/M/E         one members() of a job of M processes, with E more idle
//                    processes of the user outside the job (which should cost
//                    nothing: the scan never looks outside the job's group)
//   scan_floor/M     the least such a scan does: read the group's cgroup.procs
//                    and stat each /proc/PID
//   scan_in_tree/P   one members() of a 10-process job that is one group among
//                    1,000 more; P=1 privileged (opens the group by its handle),
//                    P=0 without CAP_DAC_READ_SEARCH (searches the tree)
//   checked_signals/M  checked_signal(pid, target, 0) once per member: one
//                    teardown round's re-checks
//   kill_floor/M     kill(pid, 0) once per member
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DMARLOFT_BENCH=ON -DMARLOFT_TESTS=OFF
//   cmake --build build/bench --target coalition_scan_bench
//   build/bench/bench/coalition_scan_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "coalition/coalition.h"

namespace {

std::string cgroup2_mount()
{
    FILE *in = fopen("/proc/self/mountinfo", "r");
    if (in == nullptr)
        return {};
    char line[4096];
    std::string mount;
    while (mount.empty() && fgets(line, sizeof line, in) != nullptr) {
        char root[1024], point[1024];
        if (strstr(line, " - cgroup2 ") != nullptr &&
            sscanf(line, "%*s %*s %*s %1023s %1023s", root, point) == 2 && strcmp(root, "/") == 0)
            mount = point;
    }
    fclose(in);
    return mount;
}

const std::string &bench_root()
{
    static const std::string root = cgroup2_mount() + "/marloft-bench-" + std::to_string(getpid());
    return root;
}

// count processes that pause, each in the group whose cgroup.procs is
// procs_fd open (if any), all settled by the time this returns.
std::vector<pid_t> start_idle(int count, int procs_fd)
{
    int ready[2];
    if (pipe(ready) != 0)
        return {};
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if ((procs_fd >= 0 && write(procs_fd, "0", 1) != 1) || write(ready[1], "", 1) != 1)
                _exit(1);
            for (;;)
                pause();
        }
        if (pid < 0)
            break;
        pids.push_back(pid);
    }
    close(ready[1]);
    char byte;
    for (size_t i = 0; i < pids.size() && read(ready[0], &byte, 1) == 1; ++i) {
    }
    close(ready[0]);
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

// A group at path holding count idle processes, removed with them.
struct job_group {
    std::string path;
    coalition_ids ids{0, 0};
    std::vector<pid_t> inside;

    job_group(const std::string &at, int count) : path(at)
    {
        struct stat st;
        if (mkdir(path.c_str(), 0755) != 0 || stat(path.c_str(), &st) != 0)
            return;
        ids = {st.st_ino, st.st_ino};
        const int procs_fd = open((path + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
        inside = start_idle(count, procs_fd);
        close(procs_fd);
    }
    ~job_group()
    {
        stop_idle(inside);
        rmdir(path.c_str());
    }
};

void per_member(benchmark::State &state, size_t count)
{
    state.counters["per_member"] = benchmark::Counter(
        static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void scan(benchmark::State &state)
{
    job_group job(bench_root() + "/job", static_cast<int>(state.range(0)));
    std::vector<pid_t> outside = start_idle(static_cast<int>(state.range(1)), -1);
    static member_list out;
    int found = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(found = members(job.ids, out));
    stop_idle(outside);
    if (found != static_cast<int>(job.inside.size()))
        state.SkipWithError("the scan did not find the job's processes");
    per_member(state, job.inside.size());
}

// Reads the group's list and stats each listed process's /proc entry.
int read_and_stat(const std::string &procs, int proc_fd)
{
    const int fd = open(procs.c_str(), O_RDONLY | O_CLOEXEC);
    std::array<char, 16384> buffer;
    int owned = 0;
    ssize_t got;
    while ((got = read(fd, buffer.data(), buffer.size())) > 0) {
        char *line = buffer.data();
        char *const end = buffer.data() + got;
        for (char *newline; (newline = static_cast<char *>(memchr(line, '\n', static_cast<size_t>(end - line)))) != nullptr;
             line = newline + 1) {
            *newline = '\0';
            struct stat st;
            owned += fstatat(proc_fd, line, &st, 0) == 0 && st.st_uid == getuid();
        }
    }
    close(fd);
    return owned;
}

void scan_floor(benchmark::State &state)
{
    job_group job(bench_root() + "/job", static_cast<int>(state.range(0)));
    const int proc_fd = open("/proc", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (auto _ : state)
        benchmark::DoNotOptimize(read_and_stat(job.path + "/cgroup.procs", proc_fd));
    close(proc_fd);
    per_member(state, job.inside.size());
}

// Raises or lowers CAP_DAC_READ_SEARCH, which opening a file by its handle
// needs, in the effective set only.
bool set_handle_privilege(bool on)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, 2> data{};
    if (syscall(SYS_capget, &header, data.data()) != 0)
        return false;
    const unsigned bit = 1U << CAP_DAC_READ_SEARCH;
    data[0].effective = on ? data[0].effective | bit : data[0].effective & ~bit;
    return syscall(SYS_capset, &header, data.data()) == 0;
}

// 10 groups of 100 below the bench's own group, and the job beside them.
void scan_in_tree(benchmark::State &state)
{
    const std::string tree = bench_root() + "/tree";
    std::vector<std::string> made{tree};
    mkdir(tree.c_str(), 0755);
    for (int a = 0; a < 10; ++a)
        for (int b = -1; b < 100; ++b) {
            made.push_back(tree + "/a" + std::to_string(a) + (b < 0 ? "" : "/b" + std::to_string(b)));
            mkdir(made.back().c_str(), 0755);
        }
    {
        job_group job(tree + "/a5/job", 10);
        const bool privileged = state.range(0) == 1;
        if (!set_handle_privilege(privileged))
            state.SkipWithError("can't change CAP_DAC_READ_SEARCH");
        static member_list out;
        int found = 0;
        for (auto _ : state)
            benchmark::DoNotOptimize(found = members(job.ids, out));
        set_handle_privilege(true);
        if (found != 10)
            state.SkipWithError("the scan did not find the job's processes");
    }
    for (auto it = made.rbegin(); it != made.rend(); ++it)
        rmdir(it->c_str());
    state.counters["groups"] = static_cast<double>(made.size());
}

void checked_signals(benchmark::State &state)
{
    job_group job(bench_root() + "/job", static_cast<int>(state.range(0)));
    int refused = 0;
    for (auto _ : state)
        for (const pid_t pid : job.inside)
            refused += checked_signal(pid, job.ids, 0) == 0;
    if (refused != 0 || job.inside.empty())
        state.SkipWithError("a member was refused");
    per_member(state, job.inside.size());
}

void kill_floor(benchmark::State &state)
{
    job_group job(bench_root() + "/job", static_cast<int>(state.range(0)));
    int delivered = 0;
    for (auto _ : state)
        for (const pid_t pid : job.inside)
            delivered += kill(pid, 0) == 0;
    benchmark::DoNotOptimize(delivered);
    per_member(state, job.inside.size());
}

BENCHMARK(scan)->Args({10, 0})->Args({10, 1000})->Args({1000, 0})->Unit(benchmark::kMicrosecond);
BENCHMARK(scan_floor)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(scan_in_tree)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(checked_signals)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(kill_floor)->Arg(1000)->Unit(benchmark::kMicrosecond);

// Prints as usual and keeps each run's CPU time per iteration for the
// summary: on a shared machine it moves less than the wall clock.
struct summary_reporter : benchmark::ConsoleReporter {
    std::map<std::string, double> us;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        // With --benchmark_repetitions the median stands for the run.
        for (const Run &run : runs)
            if (!run.error_occurred && (run.aggregate_name.empty() || run.aggregate_name == "median"))
                us[run.run_name.str()] = run.GetAdjustedCPUTime();
    }
};

void print_ratio(const summary_reporter &r, const char *what, const std::string &a, const std::string &b)
{
    const auto x = r.us.find(a);
    const auto y = r.us.find(b);
    if (x != r.us.end() && y != r.us.end())
        printf("%-44s %10.1f us %10.1f us %6.2fx\n", what, x->second, y->second, x->second / y->second);
}

void print_summary(const summary_reporter &r)
{
    printf("\n%-44s %13s %13s %7s\n", "CPU time", "this", "baseline", "ratio");
    print_ratio(r, "scan, 1,000 members / scan floor", "scan/1000/0", "scan_floor/1000");
    print_ratio(r, "scan, 10 members: 1,000 outsiders / none", "scan/10/1000", "scan/10/0");
    print_ratio(r, "scan among 1,000 groups: by handle / alone", "scan_in_tree/1", "scan/10/0");
    print_ratio(r, "scan among 1,000 groups: search / alone", "scan_in_tree/0", "scan/10/0");
    print_ratio(r, "checked signals, 1,000 members / kill(0)", "checked_signals/1000", "kill_floor/1000");
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (geteuid() != 0 || cgroup2_mount().empty() || mkdir(bench_root().c_str(), 0755) != 0) {
        fprintf(stderr, "needs root and a cgroup v2 hierarchy\n");
        return 1;
    }
    summary_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_summary(reporter);
    benchmark::Shutdown();
    rmdir(bench_root().c_str());
    return 0;
}
