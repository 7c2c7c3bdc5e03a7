#include "open_file_limit.h"

#include <cerrno>
#include <cstring>

namespace mirrax::tools {

rlim_t RaiseOpenFileLimit(std::string *failure) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        *failure = std::string("cannot read the open-file limit: ") + strerror(errno);
        return 0;
    }
    if (limit.rlim_cur == limit.rlim_max) {
        return limit.rlim_cur;
    }
    const rlim_t soft = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        *failure = "cannot raise the open-file limit from " + std::to_string(soft) + " to " +
                   std::to_string(limit.rlim_max) + ": " + strerror(errno);
        return soft;
    }
    return limit.rlim_cur;
}

}  // namespace mirrax::tools
