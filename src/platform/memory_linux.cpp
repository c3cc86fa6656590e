#if defined(__linux__)

#include <malloc.h>

#include "platform/memory.h"

void ReturnLargeBlocksToTheSystem() {
    // A fixed threshold: blocks from 64 KiB up are mapped on their own and unmapped when freed.
    // Left to itself the threshold would rise to the size of the largest block freed, and later
    // blocks of that size would come from the heap, which keeps what it once held.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);
}

#endif
