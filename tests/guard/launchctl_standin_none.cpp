#include "guard/launchctl_standin.h"

// Without private mount namespaces nothing can take the place of
// /bin/launchctl for one process alone; the real one, where there is one,
// stays in place.

std::string use_private_launchctl(const std::string &)
{
    return "no private mount namespaces on this platform";
}

std::string launchctl_standin_skip_reason()
{
    return "no private mount namespaces on this platform";
}
