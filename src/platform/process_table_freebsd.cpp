// Built on FreeBSD only; this file is not compiled on the systems CI runs on.
#if defined(__FreeBSD__)

// sys/param.h must come first; the blank line keeps the formatter from sorting it after.
#include <sys/param.h>

#include <sys/sysctl.h>
#include <sys/user.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/process_table.h"

size_t CommandNameLimit() {
    return COMMLEN;
}

int ForEachProcess(ProcessVisitor visit, void* context) {
    int mib[3] = {CTL_KERN, KERN_PROC, KERN_PROC_PROC};
    std::vector<kinfo_proc> table;
    // The table may grow between asking its size and reading it: ask again with room to spare.
    for (int attempt = 0;; attempt++) {
        size_t size = 0;
        if (sysctl(mib, 3, nullptr, &size, nullptr, 0) != 0) return errno;
        table.resize(size / sizeof(kinfo_proc) + 64);
        size = table.size() * sizeof(kinfo_proc);
        if (sysctl(mib, 3, table.data(), &size, nullptr, 0) == 0) {
            table.resize(size / sizeof(kinfo_proc));
            break;
        }
        if (errno != ENOMEM || attempt == 8) return errno;
    }
    std::sort(table.begin(), table.end(),
              [](const kinfo_proc& a, const kinfo_proc& b) { return a.ki_pid < b.ki_pid; });
    for (const kinfo_proc& process : table)
        visit(TProcessEntry{process.ki_pid, process.ki_comm,
                            strnlen(process.ki_comm, sizeof process.ki_comm)},
              context);
    return 0;
}

#endif
