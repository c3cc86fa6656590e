#include "fileutils/file_facts.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

time_t FileAge(const char* path) {
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0) return -1;
    return st.st_mtime;
}

int64_t FileSize(const char* path) {
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool FileExists(const char* path) {
    struct stat st;
    return path != nullptr && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const char* path) {
    struct stat st;
    return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool DeleteFile(const char* path) {
    return path != nullptr && unlink(path) == 0;
}

String GetCurrentDir() {
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr) return String();
    return String(buffer);
}
