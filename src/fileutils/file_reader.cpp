#include "fileutils/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

bool TFileReader::Open(const String& path) {
    Close();
    String name(path);
    name.SetZero();
    // O_NONBLOCK: a FIFO would otherwise block the open until a writer comes.
    int fd = open(name.Data(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st;
    int error = 0;
    if (fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    if (error != 0) {
        close(fd);
        errno = error;
        return false;
    }
    fcntl(fd, F_SETFL, 0);
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    fd_ = fd;
    size_ = static_cast<int64_t>(st.st_size);
    return true;
}

ssize_t TFileReader::ReadFull(void* buffer, size_t count) {
    char* p = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t n = read(fd_, p + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

void TFileReader::Close() {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
    size_ = 0;
}
