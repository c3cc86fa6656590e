#if defined(__linux__)

#include "platform/local_log.h"

const char* LocalLogSocketPath() {
    return "/dev/log";
}

#endif
