// How long the machine's processors have spent since boot, all of them together, in the system's
// clock ticks: cpu_time_linux.cpp reads /proc/stat, cpu_time_freebsd.cpp the kern.cp_time sysctl.
#pragma once

struct TCpuTimes {
    unsigned long long total = 0;  // every tick counted, busy or idle
    unsigned long long idle = 0;   // idle, and on Linux waiting for I/O with nothing to run
};

// Fills `times`. Returns 0, or the system's error number when they cannot be read (EBADMSG when
// the system's answer is not in the form expected).
int ReadCpuTimes(TCpuTimes& times);
