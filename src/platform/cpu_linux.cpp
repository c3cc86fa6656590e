#if defined(__linux__)

#include "platform/cpu.h"

#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

bool ProcessorHasCrc32Instructions() {
#if defined(__aarch64__)
    return (getauxval(AT_HWCAP) & HWCAP_CRC32) != 0;
#else
    return false;
#endif
}

#endif
