// The session library's macOS steps that need no launchd, built from their
// own source against the stand-in platform headers and run against the
// model of the process table: finding the runner, the job's property list,
// and emptying a job whose guard could not.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "../coalition/macos_model.h"
#include "session/session_macos.h"
#include "session_macos_model.h"

namespace {

using namespace macos_job;
using macos_model::add;
using macos_model::run_state;

constexpr const char *shell = "/private/tmp/w/marloft-shell";
constexpr coalition_ids job_pair{11, 12};
constexpr coalition_ids other_pair{13, 14};
// Above pid_max, so no fake can be taken for the test process itself.
constexpr pid_t runner_pid = 900001;
constexpr pid_t decoy_pid = 900002;

job_spec spec_for(const char *start, const char *command = "make test")
{
    return {"com.marloft.shell.session-x", shell, start, "/private/tmp/w/job/result",
            "/private/tmp/w/job/stdout", "/private/tmp/w/job/stderr", "/private/tmp/w/job",
            command};
}

std::vector<std::string> argv_of(const job_spec &job)
{
    std::vector<std::string> out;
    for (const char *argument : arguments_of(job))
        out.emplace_back(argument);
    return out;
}

void add_process(pid_t pid, const std::string &path, const std::string &args,
                 uid_t euid = macos_model::user)
{
    add(pid, job_pair, macos_model::user, euid, euid);
    session_model::images()[pid] = {path, args};
}

class SessionMacos : public testing::Test {
protected:
    void SetUp() override
    {
        macos_model::reset();
        session_model::images().clear();
    }
};

TEST_F(SessionMacos, FindsItsRunnerAndNoDecoy)
{
    const job_spec job = spec_for("/private/tmp/w/start");
    const std::string good = session_model::procargs(shell, argv_of(job));
    std::vector<std::string> others = argv_of(job);
    others[2] = "/private/tmp/v/start";
    std::vector<std::string> extra = argv_of(job);
    extra.emplace_back("more");
    std::string no_argc = good;
    no_argc[0] = 6;
    const size_t start_at = good.find("/private/tmp/w/start");
    struct decoy {
        const char *name;
        std::string path;
        std::string args;
        uid_t euid;
        run_state state;
    };
    const std::vector<decoy> decoys{
        {"another session's start file", shell, session_model::procargs(shell, others),
         macos_model::user, run_state::running},
        {"one argument more", shell, session_model::procargs(shell, extra), macos_model::user,
         run_state::running},
        {"another executable", "/bin/bash", good, macos_model::user, run_state::running},
        {"another user's", shell, good, 502, run_state::running},
        {"a zombie", shell, good, macos_model::user, run_state::zombie},
        {"cut inside the start file", shell, good.substr(0, start_at + 5), macos_model::user,
         run_state::running},
        {"cut after the exec path", shell, good.substr(0, 8 + strlen(shell)), macos_model::user,
         run_state::running},
        {"argc rewritten", shell, no_argc, macos_model::user, run_state::running},
        {"shorter than argc", shell, good.substr(0, 2), macos_model::user, run_state::running},
    };
    for (const decoy &d : decoys) {
        SCOPED_TRACE(d.name);
        SetUp();
        add_process(decoy_pid, d.path, d.args, d.euid);
        macos_model::find(decoy_pid)->state = d.state;
        pid_t runner = 0;
        EXPECT_EQ(find_runner(job, shell, runner), search::none);
        add_process(runner_pid, shell, good);
        EXPECT_EQ(find_runner(job, shell, runner), search::found);
        EXPECT_EQ(runner, runner_pid);
    }
}

TEST_F(SessionMacos, TwoRunnersOfOneSessionFailTheSearch)
{
    const job_spec job = spec_for("/private/tmp/w/start");
    add_process(runner_pid, shell, session_model::procargs(shell, argv_of(job)));
    add_process(decoy_pid, shell, session_model::procargs("elsewhere", argv_of(job)));
    pid_t runner = 0;
    EXPECT_EQ(find_runner(job, shell, runner), search::failed);
}

TEST_F(SessionMacos, AwaitsARunnerThatLaunchdStartsLater)
{
    const job_spec job = spec_for("/private/tmp/w/start");
    const std::string args = session_model::procargs(shell, argv_of(job));
    int listings = 0;
    macos_model::model().hook = [&](macos_model::table &, const macos_model::call &c) {
        if (c.kind == macos_model::call_kind::list_fill && ++listings == 3)
            add_process(runner_pid, shell, args);
    };
    pid_t runner = 0;
    EXPECT_EQ(await_runner(job, shell, runner), search::found);
    EXPECT_EQ(runner, runner_pid);
    EXPECT_EQ(listings, 3);
}

std::string read_file(const char *path)
{
    std::string text;
    FILE *file = fopen(path, "r");
    if (file == nullptr)
        return text;
    for (int c; (c = fgetc(file)) != EOF;)
        text.push_back(static_cast<char>(c));
    fclose(file);
    return text;
}

struct scratch_file {
    std::string path = testing::TempDir() + "session_macos_" + std::to_string(getpid()) + ".plist";
    scratch_file() { unlink(path.c_str()); }
    ~scratch_file() { unlink(path.c_str()); }
};

TEST_F(SessionMacos, ThePlistCarriesEveryStringAsWrittenWithMode0644)
{
    const scratch_file file;
    const mode_t old_mask = umask(0);
    const plist_status status =
        write_plist(spec_for("/private/tmp/w/start", "a<b && c>'d' \"e\"\r\n\tf"), file.path.c_str());
    umask(old_mask);
    ASSERT_EQ(status, plist_status::written);
    struct stat st {};
    ASSERT_EQ(stat(file.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    const std::string text = read_file(file.path.c_str());
    EXPECT_NE(text.find("\t\t<string>a&lt;b &amp;&amp; c&gt;&apos;d&apos; &quot;e&quot;&#13;\n\tf"
                        "</string>\n\t</array>\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("<key>Label</key>\n\t<string>com.marloft.shell.session-x</string>"),
              std::string::npos);
    EXPECT_NE(text.find("<key>RunAtLoad</key>\n\t<true/>"), std::string::npos);
    EXPECT_NE(text.find("<key>StandardInPath</key>\n\t<string>/dev/null</string>"), std::string::npos);
    EXPECT_NE(text.find("<key>WorkingDirectory</key>\n\t<string>/private/tmp/w/job</string>"),
              std::string::npos);
    EXPECT_EQ(text.find("KeepAlive"), std::string::npos);
}

TEST_F(SessionMacos, TextXmlCannotCarryIsRefusedAndLeavesNoFile)
{
    struct row {
        const char *command;
        bool fits;
    };
    const row rows[] = {
        {"printf '\xc3\xa9 \xf0\x9f\x99\x82'", true}, // two- and four-byte characters
        {"echo \x7f", true},
        {"echo \x01", false},
        {"printf '\x1b[0m'", false},
        {"echo \xff", false},
        {"echo \xc0\xaf", false},     // an overlong '/'
        {"echo \xe0\x80\xaf", false}, // another
        {"echo \xed\xa0\x80", false}, // a surrogate
        {"echo \xef\xbf\xbe", false}, // U+FFFE
        {"echo \xf4\x90\x80\x80", false}, // past U+10FFFF
        {"echo \xe2\x82", false},     // cut short
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.command);
        const scratch_file file;
        const plist_status status = write_plist(spec_for("/s", r.command), file.path.c_str());
        EXPECT_EQ(status, r.fits ? plist_status::written : plist_status::unfit_text);
        EXPECT_EQ(access(file.path.c_str(), F_OK) == 0, r.fits);
    }
}

TEST_F(SessionMacos, TheFallbackEmptiesTheJobAndNothingElse)
{
    add(decoy_pid + 10, other_pair);
    add(runner_pid, job_pair).state = run_state::stopped;
    macos_model::exec_setuid_root(add(runner_pid + 1, job_pair));
    add(runner_pid + 2, job_pair).state = run_state::zombie;
    EXPECT_TRUE(empty_coalition(job_pair));
    EXPECT_EQ(macos_model::live_in(job_pair), 0);
    EXPECT_EQ(macos_model::live_in(other_pair), 1);
}

TEST_F(SessionMacos, TheFallbackNeverCallsAJobItCanNotKillEmpty)
{
    // Listed by its effective uid, but signalled only by root.
    add(runner_pid, job_pair, 0, macos_model::user, 0);
    EXPECT_FALSE(empty_coalition(job_pair));
    EXPECT_EQ(macos_model::live_in(job_pair), 1);
}

} // namespace
