#pragma once

// The three lines of marloft-shell a session reads, each parsed strictly by
// the fixed template its writer prints it with, trailing newline included.
// False for anything else, however close.

#include <string_view>

#include <sys/types.h>

#include "coalition/coalition.h"
#include "session/include/marloft_session.h"

namespace session {

// The guard's ready line, from its standard output.
bool parse_ready(std::string_view line, pid_t &guardian, coalition_ids &pair, boot_session_id &boot);

// The guard's summary, the last line of its log.
bool parse_summary(std::string_view line, marloft_summary &out);

// The runner's record, the job's result file.
bool parse_record(std::string_view line, marloft_record &out);

} // namespace session
