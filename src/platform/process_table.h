// The system's table of processes, read the cheapest way each system offers:
// process_table_linux.cpp reads /proc/<pid>/comm, process_table_freebsd.cpp takes the kern.proc
// sysctl. Both stay within the C library, so a program built on them starts quickly.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Longest command name the kernel keeps for a process, in bytes (15 on Linux, 19 on FreeBSD): a
// program whose file name is longer runs under the first this many bytes of it.
size_t CommandNameLimit();

// One process as the table shows it. `name` holds the command name, `length` bytes without a
// terminating zero, and is valid only for the call it is handed to.
struct TProcessEntry {
    pid_t pid;
    const char* name;
    size_t length;
};

using ProcessVisitor = void (*)(const TProcessEntry& entry, void* context);

// Calls `visit` with `context` for every process the caller may see, threads apart, in ascending
// process-ID order. A process that ends during the walk is passed over. Returns 0, or the system's
// error number when the table cannot be read to its end; the processes visited before then are
// then only part of the table.
int ForEachProcess(ProcessVisitor visit, void* context);
