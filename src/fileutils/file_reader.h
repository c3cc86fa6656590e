// Reading a file's content for the checksum and comparison tests. Only regular files are read,
// and reading never waits: the descriptor is non-blocking, so neither the open (a pipe without a
// writer) nor a read (a kernel file that waits for messages) can hold a session, and a device
// that never ends (/dev/zero) is refused. A file whose size is reported as 0 (the system's
// pseudo-files) is read up to kUnsizedReadLimit bytes; more is a read error, never a prefix. The
// open and every read are calls of the file-system guard (fs_guard.h) on the file's file system.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "fileutils/fs_guard.h"
#include "foundation/string.h"

// The most a file reported as empty may hold: 16 MiB, far above any pseudo-file worth checking.
constexpr int64_t kUnsizedReadLimit = 16 << 20;

class TFileReader {
public:
    TFileReader() = default;
    ~TFileReader() { Close(); }
    TFileReader(const TFileReader&) = delete;
    TFileReader& operator=(const TFileReader&) = delete;

    // Opens `path` (following links) for reading when it is a regular file. False otherwise, with
    // the reason in errno (EINVAL for a file of another kind).
    bool Open(const String& path);
    // Takes over `fd` as if Open had opened a file of `size` bytes on it (for tests: a pipe shows
    // what a read that would block does).
    void Adopt(int fd, int64_t size);
    // Reads until `count` bytes or the end of the file: the number of bytes read (less than count
    // only at the end), or -1 on a read error, a read that would block (EAGAIN), content past
    // kUnsizedReadLimit in a file reported as empty (EFBIG), or a file system that does not answer
    // (ETIMEDOUT).
    ssize_t ReadFull(void* buffer, size_t count);
    // The size when the file was opened.
    int64_t Size() const { return size_; }
    void Close();

    // Lowers the bound on files reported as empty, for tests; 0 puts kUnsizedReadLimit back.
    static void SetUnsizedLimitForTesting(int64_t limit);

private:
    int fd_ = -1;
    TFsTarget fs_;
    std::string path_;  // as the guard resolved it
    int64_t size_ = 0;
    int64_t read_ = 0;  // bytes read so far
};
