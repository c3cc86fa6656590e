#include "agent/timeout_change.h"

#include <fcntl.h>
#include <unistd.h>

#include <mutex>

namespace {

std::mutex currentMutex;
std::shared_ptr<TimeoutChange> current;

std::shared_ptr<TimeoutChange> MakeChange() {
    auto change = std::make_shared<TimeoutChange>();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
    change->readFd = fds[0];
    change->writeFd = fds[1];
    return change;
}

}  // namespace

TimeoutChange::~TimeoutChange() {
    if (readFd >= 0) close(readFd);
    if (writeFd >= 0) close(writeFd);
}

std::shared_ptr<const TimeoutChange> CurrentTimeoutChange() {
    std::lock_guard<std::mutex> lock(currentMutex);
    if (current == nullptr) current = MakeChange();
    return current;
}

void AnnounceTimeoutChange() {
    std::shared_ptr<TimeoutChange> announced = MakeChange();
    {
        std::lock_guard<std::mutex> lock(currentMutex);
        current.swap(announced);
    }
    // Only this function writes to writeFd; the sessions hold the read end.
    if (announced != nullptr && announced->writeFd >= 0) {
        close(announced->writeFd);
        announced->writeFd = -1;
    }
}
