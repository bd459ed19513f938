#include "platform/internal.h"

#include <sys/resource.h>

namespace platform::detail {

std::size_t DescriptorsToKeep() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    // What a run has open at once while it works: the standard streams, the
    // runtime's own, a copy's source, its temporary and its folder, a
    // search, the archiver's pipes, the stamp store and its lock.
    constexpr rlim_t working = 32;
    if (limit.rlim_cur == RLIM_INFINITY)
        return 1u << 20;
    // Half of the rest: the other half stays free for what may open files
    // at the same time (a second queue's thread, a restore's checks).
    return limit.rlim_cur > working ? static_cast<std::size_t>(limit.rlim_cur - working) / 2 : 0;
}

} // namespace platform::detail
