#include "fileutils/file_facts.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileutils/fs_guard.h"

namespace {

// stat (or lstat without `follow`) inside a call on the file system the path reaches.
bool GuardedStat(const char* path, struct stat& st, bool follow) {
    if (path == nullptr) return false;
    TFsCall call;
    if (!call.EnterPath(path, follow)) return false;
    return (follow ? stat(path, &st) : lstat(path, &st)) == 0;
}

}  // namespace

time_t FileAge(const char* path) {
    struct stat st;
    if (!GuardedStat(path, st, true)) return -1;
    return st.st_mtime;
}

int64_t FileSize(const char* path) {
    struct stat st;
    if (!GuardedStat(path, st, true)) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool FileExists(const char* path) {
    struct stat st;
    return GuardedStat(path, st, true) && S_ISREG(st.st_mode);
}

bool DirectoryExists(const char* path) {
    struct stat st;
    return GuardedStat(path, st, true) && S_ISDIR(st.st_mode);
}

bool DeleteFile(const char* path) {
    return path != nullptr && unlink(path) == 0;
}

bool GetFileInfo(const char* path, int64_t& size, time_t& changeTime, time_t& modifyTime) {
    struct stat st;
    if (!GuardedStat(path, st, false)) return false;
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
