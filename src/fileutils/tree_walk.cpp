#include "fileutils/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "fileutils/file_facts.h"
#include "fileutils/search.h"
#include "fileutils/walk_folders.h"

TWalkEntry::TWalkEntry(int dirFd, const char* name, unsigned char type, int worker)
    : dirFd_(dirFd), name_(name), type_(type), worker_(worker) {}

const struct stat* TWalkEntry::Stat() {
    if (statState_ == 0)
        statState_ = fstatat(dirFd_, name_, &stat_, AT_SYMLINK_NOFOLLOW) == 0 ? 1 : -1;
    return statState_ == 1 ? &stat_ : nullptr;
}

namespace {

// The file type a directory listing tells, or 0 when it does not.
mode_t ListedType(unsigned char type) {
    switch (type) {
        case DT_DIR:
            return S_IFDIR;
        case DT_REG:
            return S_IFREG;
        case DT_LNK:
            return S_IFLNK;
        case DT_FIFO:
            return S_IFIFO;
        case DT_SOCK:
            return S_IFSOCK;
        case DT_CHR:
            return S_IFCHR;
        case DT_BLK:
            return S_IFBLK;
        default:
            return 0;
    }
}

}  // namespace

mode_t TWalkEntry::Kind() {
    mode_t type = statState_ == 0 ? ListedType(type_) : 0;
    if (type != 0) return type;
    const struct stat* st = Stat();
    return st ? (st->st_mode & S_IFMT) : 0;
}

int TWalkEntry::Attributes() {
    mode_t type = Kind();
    return type != 0 ? TypeAttributes(type, name_) : -1;
}

namespace {

// Helpers borrowed by every walk of the process.
std::atomic<int> helpersRunning{0};

bool BorrowHelper(int workers) {
    int running = helpersRunning.load();
    while (running < workers - 1)
        if (helpersRunning.compare_exchange_weak(running, running + 1)) return true;
    return false;
}

// What the workers of one walk share. The queue and the counts are guarded by `mutex`.
struct TWalk {
    TWalk(const TWalkVisitor& v, TWalkFolder* t, int fd, int w)
        : visit(v), top(t), topFd(fd), workers(w) {}

    const TWalkVisitor& visit;
    TWalkFolder* const top;
    const int topFd;
    const int workers;

    std::mutex mutex;
    std::condition_variable wake;
    std::vector<TWalkFolder*> queue;  // folders any worker may read, taken last in first out
    int started = 1;                  // workers running, the caller's included
    int idle = 0;                     // workers waiting for a folder
    bool over = false;                // no folder is left, or the walk failed
    int error = 0;
    std::atomic<bool> failed{false};
    std::vector<std::thread> helpers;

    // Ends the walk for every worker with `code` (descriptors ran out).
    void Fail(int code) {
        std::lock_guard<std::mutex> lock(mutex);
        if (error == 0) error = code;
        failed = true;
        over = true;
        for (TWalkFolder* folder : queue) ReleaseFolder(folder);
        queue.clear();
        wake.notify_all();
    }
};

class TWorker {
public:
    TWorker(TWalk& walk, int index) : walk_(walk), index_(index), holder_(walk.top, walk.topFd) {}
    ~TWorker() {
        for (TWalkFolder* folder : own_) ReleaseFolder(folder);
    }

    // Lists the top, open on `fd` (taken over): 0, or the error of its first read.
    int ListTop(int fd) { return List(fd, walk_.top); }

    // Reads folders until none is left.
    void Run() {
        while (TWalkFolder* folder = Next()) {
            int fd = holder_.Open(folder);
            if (fd == -EMFILE || fd == -ENFILE)
                walk_.Fail(-fd);
            else if (fd >= 0)
                List(fd, folder);  // a read error ends its listing, as for any subfolder
            ReleaseFolder(folder);
        }
    }

private:
    // The next folder: this worker's own last one, else one from the queue, waiting while other
    // workers may still add some. Null when the walk is over.
    TWalkFolder* Next() {
        if (walk_.failed.load(std::memory_order_relaxed)) return nullptr;
        if (!own_.empty()) {
            TWalkFolder* folder = own_.back();
            own_.pop_back();
            return folder;
        }
        if (walk_.workers == 1) return nullptr;
        std::unique_lock<std::mutex> lock(walk_.mutex);
        walk_.idle++;
        for (;;) {
            if (walk_.over) return nullptr;
            if (!walk_.queue.empty()) {
                walk_.idle--;
                TWalkFolder* folder = walk_.queue.back();
                walk_.queue.pop_back();
                return folder;
            }
            if (walk_.idle == walk_.started) {
                walk_.over = true;
                walk_.wake.notify_all();
                return nullptr;
            }
            walk_.wake.wait(lock);
        }
    }

    // Lists the folder open on `fd` (taken over): every entry goes to the visitor, and the
    // subfolders it wants walked into wait to be read. Returns 0 or the error number of the
    // first read.
    int List(int fd, TWalkFolder* folder) {
        DIR* dir = fdopendir(fd);
        if (dir == nullptr) {
            int error = errno;
            close(fd);
            return error;
        }
        const bool deepest = folder->depth >= kMaxWalkDepth;
        int result = 0;
        bool first = true;
        for (;;) {
            errno = 0;
            const dirent* entry = readdir(dir);
            if (entry == nullptr) {
                if (first && errno != 0) result = errno;
                break;
            }
            first = false;
            TWalkEntry walkEntry(fd, entry->d_name, entry->d_type, index_);
            if (!walk_.visit(walkEntry) || IsDotName(entry->d_name) || deepest ||
                walkEntry.Kind() != S_IFDIR)
                continue;
            found_.push_back(NewChildFolder(folder, entry->d_name));
        }
        if (!found_.empty() && folder != walk_.top) {
            // Its subfolders are opened next, relative to it.
            holder_.MakeRoomFor(folder);
            int keep = fcntl(fd, F_DUPFD_CLOEXEC, 0);
            if (keep >= 0) holder_.Hold(folder, keep);
        }
        closedir(dir);
        Schedule();
        return result;
    }

    // Puts the subfolders just found where they wait: the first to be read next by this worker,
    // the others in the queue while it has room (starting a helper when one may be borrowed and
    // the queue holds more than the idle workers will take), the rest on this worker's own stack.
    void Schedule() {
        size_t keep = found_.size();
        if (walk_.workers > 1 && keep > 1) {
            std::lock_guard<std::mutex> lock(walk_.mutex);
            while (keep > 1 && walk_.queue.size() < kMaxSharedFolders && !walk_.over)
                walk_.queue.push_back(found_[--keep]);
            if (keep < found_.size()) {
                walk_.wake.notify_all();
                while (walk_.started < walk_.workers &&
                       walk_.queue.size() > static_cast<size_t>(walk_.idle) &&
                       BorrowHelper(walk_.workers))
                    StartHelper();
            }
        }
        // Last in, first out: the first found is read first.
        while (keep > 0) own_.push_back(found_[--keep]);
        found_.clear();
    }

    // Starts one more worker on the walk; the caller holds the walk's mutex and has borrowed it.
    void StartHelper() {
        TWalk& walk = walk_;
        const int index = walk.started++;
        try {
            walk.helpers.emplace_back([&walk, index] {
                {
                    TWorker helper(walk, index);
                    helper.Run();
                }
                helpersRunning.fetch_sub(1);
            });
        } catch (const std::system_error&) {
            walk.started--;
            helpersRunning.fetch_sub(1);
        }
    }

    TWalk& walk_;
    const int index_;
    TFolderHolder holder_;
    std::vector<TWalkFolder*> own_;    // this worker's folders to read, last in first out
    std::vector<TWalkFolder*> found_;  // subfolders of the folder being listed
};

}  // namespace

int WalkTree(const String& top, const TWalkVisitor& visit, int workers) {
    String root = top.Length() > 0 ? top : GetCurrentDir();
    if (root.Length() == 0) return ENOENT;
    root.SetZero();
    int fd = open(root.Data(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno;
    // One descriptor to list the top, one to open its subfolders from for the whole walk.
    int topFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (topFd < 0) {
        int error = errno;
        close(fd);
        return error;
    }
    TWalkFolder* topFolder = new TWalkFolder;
    TWalk walk(visit, topFolder, topFd, workers < 1 ? 1 : workers);
    int result = 0;
    {
        TWorker caller(walk, 0);
        result = caller.ListTop(fd);
        caller.Run();
    }
    std::vector<std::thread> helpers;
    {
        std::lock_guard<std::mutex> lock(walk.mutex);
        helpers.swap(walk.helpers);
    }
    for (std::thread& helper : helpers) helper.join();
    close(topFd);
    ReleaseFolder(topFolder);
    return result != 0 ? result : walk.error;
}

int WalkHelpersRunning() {
    return helpersRunning.load();
}
