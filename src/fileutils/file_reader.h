// Reading a file's content for the checksum and comparison tests. Only regular files are read:
// opening never waits on a pipe, and a device that never ends (/dev/zero) is refused instead of
// keeping a session busy for ever.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "foundation/string.h"

class TFileReader {
public:
    TFileReader() = default;
    ~TFileReader() { Close(); }
    TFileReader(const TFileReader&) = delete;
    TFileReader& operator=(const TFileReader&) = delete;

    // Opens `path` (following links) for reading when it is a regular file. False otherwise, with
    // the reason in errno (EINVAL for a file of another kind).
    bool Open(const String& path);
    // Reads until `count` bytes, the end of the file or an error: the number of bytes read (less
    // than count only at the end), or -1 on a read error.
    ssize_t ReadFull(void* buffer, size_t count);
    // The size when the file was opened.
    int64_t Size() const { return size_; }
    void Close();

private:
    int fd_ = -1;
    int64_t size_ = 0;
};
