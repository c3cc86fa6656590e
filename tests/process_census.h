// What a process has left of its children, the test process of its descriptors, and the system
// of processes with a given name, read from /proc.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace testing_support {

// A file of /proc, whole, or empty when it cannot be read: a process may end between the listing
// and the read, and the stream library throws on that read's error.
inline std::string ReadProcFile(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char block[4096];
    for (ssize_t n; (n = read(fd, block, sizeof block)) > 0;)
        text.append(block, static_cast<size_t>(n));
    close(fd);
    return text;
}

// Children of `parent` that have ended but were not reaped.
inline int ZombieChildren(pid_t parent = getpid()) {
    int zombies = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    while (dirent* entry = readdir(proc)) {
        std::string line = ReadProcFile(std::string("/proc/") + entry->d_name + "/stat");
        if (line.empty()) continue;
        size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        char state;
        long ppid;
        rest >> state >> ppid;
        if (state == 'Z' && ppid == parent) zombies++;
    }
    closedir(proc);
    return zombies;
}

// Descriptors this process holds open.
inline int OpenDescriptors() {
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return -1;
    while (dirent* entry = readdir(fds))
        if (entry->d_name[0] != '.') count++;
    closedir(fds);
    return count - 1;  // the listing's own
}

// Processes whose command name (/proc/<pid>/comm without its line feed) is exactly `name`.
inline int ProcessesNamed(const std::string& name) {
    int count = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return -1;
    while (dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;  // self, thread-self, ...
        std::string text = ReadProcFile(std::string("/proc/") + entry->d_name + "/comm");
        if (!text.empty() && text.back() == '\n') text.pop_back();
        if (text == name) count++;
    }
    closedir(proc);
    return count;
}

}  // namespace testing_support
