#ifndef HILOG_LOG_H
#define HILOG_LOG_H

#include "hilog/log_c.h"

#endif  // HILOG_LOG_H
