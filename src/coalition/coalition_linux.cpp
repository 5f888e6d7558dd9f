#include "coalition/coalition.h"

int identity(pid_t, coalition_ids *)
{
    return 0;
}

int members(const coalition_ids &, member_list &)
{
    return -1;
}

int checked_signal(pid_t, const coalition_ids &, int)
{
    return 0;
}

int read_boot_session(boot_session_id &)
{
    return 0;
}
