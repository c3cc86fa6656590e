#include "platform/local_log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

namespace {

std::mutex logMutex;
int logSocket = -1;  // unconnected: a restarted log daemon is reached without reopening
std::string* testPath = nullptr;

}  // namespace

void SendToLocalLog(const char* datagram, size_t length) {
    std::lock_guard<std::mutex> lock(logMutex);
    const char* path = testPath != nullptr ? testPath->c_str() : LocalLogSocketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) return;
    std::strcpy(address.sun_path, path);
    if (logSocket < 0) logSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (logSocket < 0) return;
    ssize_t sent;
    do
        sent = sendto(logSocket, datagram, length, MSG_DONTWAIT | MSG_NOSIGNAL,
                      reinterpret_cast<sockaddr*>(&address), sizeof address);
    while (sent < 0 && errno == EINTR);
}

void SetLocalLogPathForTesting(const char* path) {
    std::lock_guard<std::mutex> lock(logMutex);
    delete testPath;
    testPath = path != nullptr ? new std::string(path) : nullptr;
}
