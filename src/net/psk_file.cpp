#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/tls.h"

namespace {

constexpr size_t kShortestKey = 16;  // 128 bits
constexpr size_t kLongestKey = 64;
constexpr size_t kLongestFile = 4096;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

bool ReadPskFile(const std::string& path, std::string& key, String& error) {
    key.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = "cannot read pre-shared key '";
        error += path.c_str();
        error += "': ";
        error += std::strerror(errno);
        return false;
    }
    char text[kLongestFile + 1];
    ssize_t length = read(fd, text, sizeof text);
    close(fd);
    size_t begin = 0;
    size_t end = length > 0 ? static_cast<size_t>(length) : 0;
    while (begin < end && Blank(text[begin])) begin++;
    while (end > begin && Blank(text[end - 1])) end--;
    bool ok = length > 0 && static_cast<size_t>(length) <= kLongestFile && (end - begin) % 2 == 0;
    for (size_t i = begin; ok && i < end; i += 2) {
        int high = HexValue(text[i]);
        int low = HexValue(text[i + 1]);
        ok = high >= 0 && low >= 0;
        if (ok) key += static_cast<char>(high * 16 + low);
    }
    ok = ok && key.size() >= kShortestKey && key.size() <= kLongestKey;
    // The key does not linger in the buffer.
    volatile char* wipe = text;
    for (size_t i = 0; i < sizeof text; i++) wipe[i] = 0;
    if (ok) return true;
    key.clear();
    error = "pre-shared key '";
    error += path.c_str();
    error += "' is not 32 to 128 hexadecimal digits";
    return false;
}
