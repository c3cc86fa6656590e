#if defined(__FreeBSD__)

#include <unistd.h>

#include "platform/process.h"

void CloseDescriptorsFrom(int lowest, int) {
    closefrom(lowest);
}

#endif
