#include "fileutils/tempname.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
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

// A number from the system's random source, for names that others must not foresee. Without
// that source (a system that has none), a mix of the clock and a counter.
uint32_t RandomNumber() {
    uint32_t value;
    ssize_t n;
    do n = getrandom(&value, sizeof value, GRND_NONBLOCK);
    while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof value)) return value;
    static std::atomic<uint64_t> sequence{0};
    uint64_t x =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) +
        0x9e3779b97f4a7c15ULL * ++sequence;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return static_cast<uint32_t>(x ^ (x >> 31));
}

// A counter value for an unnamed name: the next of the process-wide counter, or, once a name
// was found taken, a random one of the same range, so names planted ahead of the counter do not
// block creation.
int32_t FileNumber(bool random) {
    if (!random) return NextFileNumber();
    return static_cast<int32_t>(RandomNumber() % (kCounterWrap + 1)) + 1;
}

// An identifier in the form of GetUniqueThreadID()'s, random once a name was found taken.
long NameIdentifier(bool random) {
    if (!random) return static_cast<long>(GetUniqueThreadID());
    return static_cast<long>(RandomNumber() & 0x7fffffff);
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

// gettempfilename; `random` draws every number from the random source from the first candidate
// on, as after a taken name.
int FormTempName(char* buf, int size, const char* name, const char* folder, bool random) {
    if (buf == nullptr || size < kMinBuffer) return 0;
    buf[0] = '\0';
    const char* dir = folder != nullptr ? folder : EnvFolder();
    std::string base = dir != nullptr ? std::string(dir) + "/" : std::string("./");
    if (base.size() + kMinBuffer > static_cast<size_t>(size)) return 0;
    if (name != nullptr) return Store(buf, size, base + name) ? 1 : 0;

    char id[32];
    std::snprintf(id, sizeof id, "tmp-%ld-", NameIdentifier(random));
    const std::string prefix = base + id;
    std::string candidate;
    int count = 0;
    do {
        // Past a taken name the counter is foreseeable: the following numbers are drawn.
        candidate = prefix + std::to_string(FileNumber(random || count > 0));
        if (candidate.size() + 1 > static_cast<size_t>(size)) return 0;
        count++;
    } while (FileExists(candidate.c_str()) && count <= kMaxCandidates);
    if (count > kMaxCandidates) return 0;
    return Store(buf, size, candidate) ? 1 : 0;
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
    return FormTempName(buf, size, name, folder, false);
}

int CreateTempFile(const char* folder, const char* pattern, mode_t mode, String& path) {
    path = "";
    char name[36];
    char candidate[512];
    for (int attempt = 0; attempt < kCreateAttempts; attempt++) {
        // After a taken name, the numbers are drawn: a name planted ahead is not met again.
        const bool random = attempt > 0;
        if (pattern != nullptr) {
            int n = std::snprintf(name, sizeof name, pattern, NameIdentifier(random));
            if (n < 0 || n >= static_cast<int>(sizeof name)) return kTempNoName;
        }
        if (!FormTempName(candidate, sizeof candidate, pattern ? name : nullptr, folder, random))
            return kTempNoName;
        int fd;
        do
            fd = open(candidate, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                      mode);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            path = candidate;
            return fd;
        }
        if (errno != EEXIST) return kTempCannotCreate;
    }
    return kTempCannotCreate;
}

bool FolderWritableByOthers(const char* folder, uid_t self) {
    struct stat info {};
    if (folder == nullptr || stat(folder, &info) != 0) return false;
    if (info.st_uid != self && info.st_uid != 0) return true;
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

void SetTempNameCounterForTesting(int32_t value) {
    std::lock_guard<std::mutex> lock(fidmutex);
    filenumber = value;
}
