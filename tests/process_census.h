// What a process has left of its children, the test process of its descriptors, and the system
// of processes with a given name, read from /proc.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace testing_support {

// Children of `parent` that have ended but were not reaped.
inline int ZombieChildren(pid_t parent = getpid()) {
    int zombies = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    while (dirent* entry = readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
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
        std::ifstream comm(std::string("/proc/") + entry->d_name + "/comm", std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(comm)), std::istreambuf_iterator<char>());
        if (!text.empty() && text.back() == '\n') text.pop_back();
        if (text == name) count++;
    }
    closedir(proc);
    return count;
}

}  // namespace testing_support
