#include "state_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/time.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr size_t kMaxStateFile = 64 * 1024;

std::string Reason(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

StateLock::StateLock(const std::string& stateFile, int timeoutMs, std::string& error) {
    std::string lockFile = stateFile + ".lock";
    int fd = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = Reason("cannot open", lockFile);
        return;
    }
    // Another check of the same log holds it only for its exchanges with the agent: wait for
    // it, but a timer interrupts the wait after `timeoutMs`.
    struct sigaction wake {}, previous {};
    wake.sa_handler = [](int) {};
    sigemptyset(&wake.sa_mask);
    sigaction(SIGALRM, &wake, &previous);
    itimerval timer{};
    timer.it_value.tv_sec = timeoutMs / 1000;
    timer.it_value.tv_usec = (timeoutMs % 1000) * 1000 + 1;
    setitimer(ITIMER_REAL, &timer, nullptr);
    int locked = flock(fd, LOCK_EX);
    int failure = errno;
    timer = itimerval{};
    setitimer(ITIMER_REAL, &timer, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    if (locked != 0) {
        errno = failure;
        error = failure == EINTR ? lockFile + " stays locked by another check"
                                 : Reason("cannot lock", lockFile);
        close(fd);
        return;
    }
    fd_ = fd;
}

StateLock::~StateLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
}

bool ReadLogState(const std::string& path, LogState& state, bool& exists, std::string& error) {
    exists = false;
    // Not through a symbolic link, and without waiting for the writer of a FIFO.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        error = errno == ELOOP ? path + " is a symbolic link; a state file is not followed"
                               : Reason("cannot read", path);
        return false;
    }
    exists = true;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        error = path + " is not a regular file; it is no state file and stays as it is";
        return false;
    }
    if (info.st_uid != geteuid()) {
        close(fd);
        error = path + " belongs to another user (uid " + std::to_string(info.st_uid) +
                "); it is not taken over";
        return false;
    }
    std::string text;
    char block[4096];
    ssize_t n;
    while ((n = read(fd, block, sizeof block)) > 0 && text.size() <= kMaxStateFile)
        text.append(block, static_cast<size_t>(n));
    bool failed = n < 0;
    close(fd);
    if (failed || text.size() > kMaxStateFile) {
        error = path + " cannot be read as a state file";
        return false;
    }
    return ParseLogState(text, path, state, error);
}

bool WriteLogState(const std::string& path, const LogState& state, std::string& error) {
    std::string text = FormatLogState(state);
    std::string fresh = path + ".new." + std::to_string(getpid());
    int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW,
                  0600);
    if (fd < 0) {
        error = Reason("cannot create", fresh);
        return false;
    }
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(fresh.c_str(), path.c_str()) != 0) {
        error = Reason("cannot write", path);
        unlink(fresh.c_str());
        return false;
    }
    return true;
}
