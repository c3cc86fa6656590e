#include "fileutils/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "fileutils/denied_paths.h"

namespace {

std::atomic<int64_t> unsizedLimit{kUnsizedReadLimit};

}  // namespace

void TFileReader::SetUnsizedLimitForTesting(int64_t limit) {
    unsizedLimit = limit > 0 ? limit : kUnsizedReadLimit;
}

bool TFileReader::Open(const String& path) {
    Close();
    String name(path);
    name.SetZero();
    TFsCall call;
    if (!call.EnterPath(name.Data())) return false;
    // O_NONBLOCK: a FIFO would otherwise block the open until a writer comes.
    int fd;
    do fd = open(name.Data(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    struct stat st;
    int error = 0;
    if (fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    else if (DeniedOpen(fd, call.Path(), name.Data()))
        error = EACCES;
    if (error != 0) {
        close(fd);
        errno = error;
        return false;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    Adopt(fd, static_cast<int64_t>(st.st_size));
    fs_ = call.Target();
    path_ = call.Path();
    return true;
}

void TFileReader::Adopt(int fd, int64_t size) {
    Close();
    fd_ = fd;
    size_ = size;
    read_ = 0;
    fs_ = TFsTarget();
    path_.clear();
}

ssize_t TFileReader::ReadFull(void* buffer, size_t count) {
    char* p = static_cast<char*>(buffer);
    size_t done = 0;
    TFsCall call;
    if (!call.Enter(fs_, path_)) return -1;
    while (done < count) {
        ssize_t n = read(fd_, p + done, count - done);
        call.Progress();
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;  // EAGAIN included: the content is not there to be read
        if (n == 0) break;
        done += static_cast<size_t>(n);
        read_ += n;
        if (size_ == 0 && read_ > unsizedLimit.load(std::memory_order_relaxed)) {
            errno = EFBIG;
            return -1;
        }
    }
    return static_cast<ssize_t>(done);
}

void TFileReader::Close() {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
    size_ = 0;
    read_ = 0;
}
