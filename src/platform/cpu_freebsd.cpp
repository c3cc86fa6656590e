#if defined(__FreeBSD__)

#include "platform/cpu.h"

#if defined(__aarch64__)
#include <machine/elf.h>
#include <sys/auxv.h>
#endif

bool ProcessorHasCrc32Instructions() {
#if defined(__aarch64__)
    unsigned long hwcap = 0;
    return elf_aux_info(AT_HWCAP, &hwcap, sizeof hwcap) == 0 && (hwcap & HWCAP_CRC32) != 0;
#else
    return false;
#endif
}

#endif
