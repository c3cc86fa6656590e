#if defined(__FreeBSD__)

#include "platform/local_log.h"

const char* LocalLogSocketPath() {
    return "/var/run/log";
}

#endif
