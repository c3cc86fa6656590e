#if defined(__linux__)

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/process_table.h"

namespace {

// The process ID a /proc entry stands for; 0 for the entries that are not processes.
pid_t ProcessIdOf(const char* entry) {
    pid_t pid = 0;
    for (const char* p = entry; *p != '\0'; p++) {
        if (*p < '0' || *p > '9' || pid > 99999999) return 0;
        pid = pid * 10 + (*p - '0');
    }
    return pid;
}

}  // namespace

size_t CommandNameLimit() {
    return 15;  // TASK_COMM_LEN less its terminating zero
}

int ForEachProcess(ProcessVisitor visit, void* context) {
    int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return errno;
    // An empty folder where the process file system is not mounted lists no process at all: that
    // is no table, not a table without processes.
    struct statfs mounted;
    int error = fstatfs(proc, &mounted) != 0         ? errno
                : mounted.f_type != PROC_SUPER_MAGIC ? ENOENT
                                                     : 0;
    DIR* listing = error == 0 ? fdopendir(proc) : nullptr;
    if (listing == nullptr) {
        if (error == 0) error = errno;
        close(proc);
        return error;
    }
    // The kernel lists processes in ascending ID order after its own entries. The command name is
    // read from "comm", the smallest file that holds it: the kernel's name followed by a line feed.
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(listing);
        if (entry == nullptr) {
            error = errno;
            break;
        }
        pid_t pid = ProcessIdOf(entry->d_name);
        if (pid == 0) continue;
        char path[32];
        std::snprintf(path, sizeof path, "%d/comm", static_cast<int>(pid));
        int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;  // ended meanwhile, or hidden from this user
        char name[64];
        ssize_t got = read(fd, name, sizeof name);
        close(fd);
        if (got <= 0) continue;
        size_t length = static_cast<size_t>(got);
        if (name[length - 1] == '\n') length--;
        visit(TProcessEntry{pid, name, length}, context);
    }
    closedir(listing);
    return error;
}

#endif
