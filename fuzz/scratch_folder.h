// A scratch folder for fuzz targets that write files, removed when the fuzzer exits. It goes to
// $TMPDIR when set, else to /dev/shm where there is one (saves fsync there, which keeps the
// targets fast), else to /tmp.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
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

// One file in a scratch folder of its own, rewritten in place for every input.
struct ScratchFile {
    std::string path;
    int fd = -1;

    // Makes the content exactly `size` bytes of `data`.
    void Rewrite(const void* data, size_t size) const {
        if (pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) ||
            ftruncate(fd, static_cast<off_t>(size)) != 0)
            abort();
    }
};

inline ScratchFile MakeScratchFile(const char* name) {
    ScratchFile file{MakeScratchFolder(name) + "/input"};
    file.fd = open(file.path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (file.fd < 0) abort();
    return file;
}
