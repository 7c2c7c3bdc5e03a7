// The open-file limit of the host and client programs.
#ifndef MIRRAX_TOOLS_COMMON_OPEN_FILE_LIMIT_H
#define MIRRAX_TOOLS_COMMON_OPEN_FILE_LIMIT_H

#include <sys/resource.h>

#include <string>

namespace mirrax::tools {

// Sets the soft open-file limit to the hard one, so a busy server is not starved of
// descriptors. Returns the soft limit in force afterwards, or 0 when it cannot be
// read; `failure` is set to one line saying what could not be done.
rlim_t RaiseOpenFileLimit(std::string *failure);

}  // namespace mirrax::tools

#endif  // MIRRAX_TOOLS_COMMON_OPEN_FILE_LIMIT_H
