#include "fileutils/tempname.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "fileutils/file_facts.h"

namespace {

constexpr int kMinBuffer = 16;
constexpr int kMaxCandidates = 1999;
constexpr int32_t kCounterWrap = 999999;
// A creation attempt fails only when the name is taken by something other than our own earlier
// files; giving up after this many keeps a folder full of planted names from holding a thread.
constexpr int kCreateAttempts = 64;

std::mutex fidmutex;
int32_t fidnum = 0;      // behind GetUniqueThreadID
int32_t filenumber = 1;  // behind unnamed names

int32_t NextFileNumber() {
    std::lock_guard<std::mutex> lock(fidmutex);
    if (filenumber > kCounterWrap) filenumber = 0;
    return ++filenumber;
}

const char* EnvFolder() {
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0') dir = std::getenv("TMP");
    if (dir == nullptr || *dir == '\0') return nullptr;
    return dir;
}

bool Store(char* buf, int size, const std::string& path) {
    if (path.size() + 1 > static_cast<size_t>(size)) return false;
    std::memcpy(buf, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

int32_t GetUniqueThreadID() {
    uint32_t count;
    {
        std::lock_guard<std::mutex> lock(fidmutex);
        count = static_cast<uint32_t>(++fidnum);
    }
    return static_cast<int32_t>((static_cast<uint32_t>(getpid()) << 16) + count);
}

int gettempfilename(char* buf, int size, const char* name) {
    return gettempfilename(buf, size, name, nullptr);
}

int gettempfilename(char* buf, int size, const char* name, const char* folder) {
    if (buf == nullptr || size < kMinBuffer) return 0;
    buf[0] = '\0';
    const char* dir = folder != nullptr ? folder : EnvFolder();
    std::string base = dir != nullptr ? std::string(dir) + "/" : std::string("./");
    if (base.size() + kMinBuffer > static_cast<size_t>(size)) return 0;
    if (name != nullptr) return Store(buf, size, base + name) ? 1 : 0;

    char id[32];
    std::snprintf(id, sizeof id, "tmp-%ld-", static_cast<long>(GetUniqueThreadID()));
    const std::string prefix = base + id;
    std::string candidate;
    int count = 0;
    do {
        candidate = prefix + std::to_string(NextFileNumber());
        if (candidate.size() + 1 > static_cast<size_t>(size)) return 0;
        count++;
    } while (FileExists(candidate.c_str()) && count <= kMaxCandidates);
    if (count > kMaxCandidates) return 0;
    return Store(buf, size, candidate) ? 1 : 0;
}

int CreateTempFile(const char* folder, const char* pattern, mode_t mode, String& path) {
    path = "";
    char name[36];
    char candidate[512];
    for (int attempt = 0; attempt < kCreateAttempts; attempt++) {
        if (pattern != nullptr) {
            int n =
                std::snprintf(name, sizeof name, pattern, static_cast<long>(GetUniqueThreadID()));
            if (n < 0 || n >= static_cast<int>(sizeof name)) return kTempNoName;
        }
        if (!gettempfilename(candidate, sizeof candidate, pattern ? name : nullptr, folder))
            return kTempNoName;
        int fd;
        do fd = open(candidate, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            path = candidate;
            return fd;
        }
        if (errno != EEXIST) return kTempCannotCreate;
    }
    return kTempCannotCreate;
}

void SetTempNameCounterForTesting(int32_t value) {
    std::lock_guard<std::mutex> lock(fidmutex);
    filenumber = value;
}
