#include "input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool Refuse(const std::string& path, const std::string& why, std::string& error) {
    error = "cannot read " + path + ": " + why;
    return false;
}

std::string KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder, not a regular file";
    if (S_ISFIFO(mode)) return "a FIFO, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device, not a regular file";
    if (S_ISSOCK(mode)) return "a socket, not a regular file";
    return "not a regular file";
}

bool ReadBounded(int fd, const std::string& path, size_t limit, std::string& content,
                 std::string& error) {
    content.clear();
    char block[65536];
    for (;;) {
        ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Refuse(path, std::strerror(errno), error);
        if (n == 0) return true;
        if (content.size() + static_cast<size_t>(n) > limit)
            return Refuse(path, "larger than " + ByteSize(limit), error);
        content.append(block, static_cast<size_t>(n));
    }
}

}  // namespace

std::string ByteSize(size_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= (1u << 10) && bytes % (1u << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

bool ReadInputFile(const std::string& path, size_t limit, bool stdinAllowed, std::string& content,
                   std::string& error) {
    if (path == "-" && stdinAllowed) {
        struct stat info {};
        if (fstat(STDIN_FILENO, &info) == 0 && (S_ISDIR(info.st_mode) || S_ISCHR(info.st_mode)) &&
            !isatty(STDIN_FILENO))
            return Refuse("standard input", KindOf(info.st_mode), error);
        return ReadBounded(STDIN_FILENO, "standard input", limit, content, error);
    }
    // Non-blocking, so that opening a FIFO without a writer does not wait for one.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return Refuse(path, std::strerror(errno), error);
    struct stat info {};
    bool ok = fstat(fd, &info) == 0;
    if (!ok)
        Refuse(path, std::strerror(errno), error);
    else if (!S_ISREG(info.st_mode))
        ok = Refuse(path, KindOf(info.st_mode), error);
    else if (static_cast<unsigned long long>(info.st_size) > limit)
        ok = Refuse(path, "larger than " + ByteSize(limit), error);
    else
        ok = ReadBounded(fd, path, limit, content, error);
    close(fd);
    return ok;
}

bool IsBoundedRegularFile(const std::string& path, size_t limit, std::string& error) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return Refuse(path, std::strerror(errno), error);
    if (!S_ISREG(info.st_mode)) return Refuse(path, KindOf(info.st_mode), error);
    if (static_cast<unsigned long long>(info.st_size) > limit)
        return Refuse(path, "larger than " + ByteSize(limit), error);
    return true;
}
