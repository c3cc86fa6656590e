#if defined(__FreeBSD__)

#include "platform/memory.h"

void ReturnLargeBlocksToTheSystem() {
    // The system allocator hands the pages of freed large blocks back on its own.
}

#endif
