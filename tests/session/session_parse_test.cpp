// The three lines a session reads, each only in the exact form its writer
// prints: anything else, however close, is no line at all.

#include <string>

#include <gtest/gtest.h>

#include "session/session_parse.h"

namespace {

struct row {
    const char *line;
    bool good;
};

TEST(SessionParse, ReadyLineByItsTemplateOnly)
{
    const row rows[] = {
        {"{\"ready\":true,\"guardianPid\":42,\"resource\":\"7\",\"jetsam\":\"7\",\"boot\":\"ab-12\"}\n", true},
        {"{\"ready\":true,\"guardianPid\":42,\"resource\":\"18446744073709551615\",\"jetsam\":\"1\","
         "\"boot\":\"B\"}\n", true},
        {"{\"ready\":true,\"guardianPid\":42,\"resource\":\"7\",\"jetsam\":\"7\",\"boot\":\"ab\"}", false},
        {"{\"ready\":true,\"guardianPid\":42,\"resource\":\"7\",\"jetsam\":\"7\",\"boot\":\"ab\"}\n\n", false},
        {"{\"ready\":true, \"guardianPid\":42,\"resource\":\"7\",\"jetsam\":\"7\",\"boot\":\"ab\"}\n", false},
        {"{\"ready\":true,\"guardianPid\":042,\"resource\":\"7\",\"jetsam\":\"7\",\"boot\":\"ab\"}\n", false},
        {"{\"ready\":true,\"guardianPid\":42,\"resource\":\"18446744073709551616\",\"jetsam\":\"7\","
         "\"boot\":\"ab\"}\n", false},
        {"{\"ready\":true,\"guardianPid\":42,\"resource\":\"7\",\"jetsam\":\"7\",\"boot\":\"a\\\"b\"}\n", false},
        {"{\"ready\":true,\"guardianPid\":42,\"resource\":\"7\",\"jetsam\":\"7\",\"boot\":\"\"}\n", false},
        {"{\"ready\":false,\"guardianPid\":42,\"resource\":\"7\",\"jetsam\":\"7\",\"boot\":\"ab\"}\n", false},
    };
    for (const row &r : rows) {
        pid_t guardian = 0;
        coalition_ids pair{};
        boot_session_id boot{};
        EXPECT_EQ(session::parse_ready(r.line, guardian, pair, boot), r.good) << r.line;
    }
    pid_t guardian = 0;
    coalition_ids pair{};
    boot_session_id boot{};
    ASSERT_TRUE(session::parse_ready(rows[0].line, guardian, pair, boot));
    EXPECT_EQ(guardian, 42);
    EXPECT_EQ(pair, (coalition_ids{7, 7}));
    EXPECT_STREQ(boot.data(), "ab-12");
}

TEST(SessionParse, SummaryByItsTemplateOnly)
{
    const std::string good =
        "{\"cleaned\":true,\"stopped\":3,\"killed\":2,\"remaining\":0,\"reason\":\"deadline\","
        "\"bootoutStatus\":-1}\n";
    const row rows[] = {
        {good.c_str(), true},
        {"{\"cleaned\":false,\"stopped\":0,\"killed\":0,\"remaining\":5,\"reason\":\"owner-pipe-closed\","
         "\"bootoutStatus\":32512}\n", true},
        {"{\"cleaned\":true,\"stopped\":3,\"killed\":2,\"remaining\":0,\"reason\":\"owner\","
         "\"bootoutStatus\":0}\n", false},
        {"{\"cleaned\":True,\"stopped\":3,\"killed\":2,\"remaining\":0,\"reason\":\"deadline\","
         "\"bootoutStatus\":0}\n", false},
        {"{\"cleaned\":true,\"stopped\":-3,\"killed\":2,\"remaining\":0,\"reason\":\"deadline\","
         "\"bootoutStatus\":0}\n", false},
        {"{\"cleaned\":true,\"stopped\":3,\"killed\":2,\"remaining\":0,\"reason\":\"deadline\","
         "\"bootoutStatus\":-0}\n", false},
        {"{\"cleaned\":true,\"stopped\":3,\"killed\":2,\"remaining\":0,\"reason\":\"deadline\","
         "\"bootoutStatus\":2147483648}\n", false},
        {"{\"cleaned\":true,\"stopped\":3,\"killed\":2,\"remaining\":0,\"reason\":\"deadline\","
         "\"bootoutStatus\":0,\"extra\":1}\n", false},
    };
    for (const row &r : rows) {
        marloft_summary summary{};
        EXPECT_EQ(session::parse_summary(r.line, summary), r.good) << r.line;
    }
    marloft_summary summary{};
    ASSERT_TRUE(session::parse_summary(good, summary));
    EXPECT_EQ(summary.cleaned, 1);
    EXPECT_EQ(summary.stopped, 3);
    EXPECT_EQ(summary.killed, 2);
    EXPECT_EQ(summary.by_deadline, 1);
    EXPECT_EQ(summary.bootout_status, -1);
}

TEST(SessionParse, RecordByItsTemplateAndAPossibleEnd)
{
    const row rows[] = {
        {"{\"exit_code\":0,\"signal\":0,\"truncated\":false}\n", true},
        {"{\"exit_code\":255,\"signal\":0,\"truncated\":true}\n", true},
        {"{\"exit_code\":-1,\"signal\":9,\"truncated\":false}\n", true},
        {"{\"exit_code\":256,\"signal\":0,\"truncated\":false}\n", false},
        {"{\"exit_code\":-1,\"signal\":0,\"truncated\":false}\n", false},
        {"{\"exit_code\":3,\"signal\":9,\"truncated\":false}\n", false},
        {"{\"exit_code\":0,\"signal\":0,\"truncated\":false}", false},
        {"{\"exit_code\":0,\"signal\":0,\"truncated\":0}\n", false},
        {"{\"exit_code\": 0,\"signal\":0,\"truncated\":false}\n", false},
        {"", false},
    };
    for (const row &r : rows) {
        marloft_record record{};
        EXPECT_EQ(session::parse_record(r.line, record), r.good) << r.line;
    }
}

} // namespace
