#if defined(__FreeBSD__)

#include <signal.h>
#include <unistd.h>

#include "platform/process.h"

void SignalsToReset(sigset_t& set) {
    // The spawned child gives up at the first signal that sigaction refuses: the threads
    // library's own SIGTHR, and the two whose disposition never changes.
    sigfillset(&set);
    sigdelset(&set, SIGTHR);
    sigdelset(&set, SIGKILL);
    sigdelset(&set, SIGSTOP);
}

void CloseDescriptorsFrom(int lowest, int) {
    closefrom(lowest);
}

#endif
