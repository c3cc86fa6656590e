#if defined(__FreeBSD__)

#include "platform/socket.h"

bool IgnoreIncomingPackets(int) {
    // Socket filters here see packets for reading only, after TCP has answered them.
    return false;
}

int LastSendFlags() {
    return 0;
}

#endif
