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

bool GetFileInfo(const char* path, int64_t& size, time_t& changeTime, time_t& modifyTime) {
    struct stat st;
    if (path == nullptr || lstat(path, &st) != 0) return false;
    size = static_cast<int64_t>(st.st_size);
    changeTime = st.st_ctime;
    modifyTime = st.st_mtime;
    return true;
}

String GetCurrentDir() {
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr) return String();
    return String(buffer);
}
