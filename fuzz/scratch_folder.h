// A scratch folder for fuzz targets that write files, removed when the fuzzer exits. It goes to
// $TMPDIR when set, else to /dev/shm where there is one (saves fsync there, which keeps the
// targets fast), else to /tmp.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

inline std::string MakeScratchFolder(const char* name) {
    static std::string folder;
    const char* base = getenv("TMPDIR");
    struct stat info {};
    if (base == nullptr || *base == '\0')
        base = stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/" + name + ".XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    folder = pattern;
    atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    return folder;
}
