// What the processor offers beyond the baseline of its architecture, where the system has to be
// asked: cpu_linux.cpp and cpu_freebsd.cpp.
#pragma once

// True on a 64-bit ARM processor with the CRC32 instructions; false everywhere else.
bool ProcessorHasCrc32Instructions();
