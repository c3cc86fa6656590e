#include "fileutils/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "fileutils/denied_paths.h"
#include "fileutils/file_facts.h"
#include "fileutils/search.h"
#include "fileutils/walk_folders.h"

TWalkEntry::TWalkEntry(int dirFd, const char* name, unsigned char type, int worker,
                       const TFsTarget* mount)
    : dirFd_(dirFd), name_(name), type_(type), worker_(worker), mount_(mount) {}

const struct stat* TWalkEntry::Stat() {
    if (statState_ != 0) return statState_ == 1 ? &stat_ : nullptr;
    // A mount point is examined on the file system mounted there.
    TFsCall onMount;
    if (mount_ != nullptr && !onMount.Enter(*mount_, mount_->mountPoint)) {
        refused_ = true;
        statState_ = -1;
        return nullptr;
    }
    statState_ = fstatat(dirFd_, name_, &stat_, AT_SYMLINK_NOFOLLOW) == 0 ? 1 : -1;
    if (mount_ == nullptr) FsProgress();  // the folder's file system answered
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

// Entries listed between two progress marks of a folder's call: a hung call is seen as soon as
// one entry holds it, and the clock is not read for every entry.
constexpr int kEntriesPerProgress = 16;

// What the workers of one walk share. The queue and the counts are guarded by `mutex`.
struct TWalk {
    TWalk(const TWalkVisitor& v, TWalkFolder* t, int fd, int w)
        : visit(v), top(t), topFd(fd), workers(w) {}

    const TWalkVisitor& visit;
    TWalkFolder* const top;
    const int topFd;
    const int workers;
    // File systems: [0] the top's, [k] the one mounted on mountPaths[k - 1], a path relative to
    // the top. Set before the first worker starts; read only after.
    std::vector<TFsTarget> fileSystems;
    std::vector<std::string> mountPaths;
    long long requestStart = 0;  // of the request the walk works for, for the helpers' waits
    int helperIdleMs = 0;        // an idle helper gives its place back after this (fsstall)

    std::mutex mutex;
    std::condition_variable wake;
    std::vector<TWalkFolder*> queue;  // folders any worker may read, taken last in first out
    int started = 1;                  // workers running, the caller's included
    std::vector<char> indexTaken;     // worker indexes in use; a helper given back frees its own
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
            TFsCall call;
            if (!call.Enter(walk_.fileSystems[static_cast<size_t>(folder->mount)])) {
                walk_.Fail(ETIMEDOUT);
                ReleaseFolder(folder);
                continue;
            }
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
            // A helper idle this long waits for a worker held up on a file system: its place goes
            // back to the other walks.
            if (walk_.wake.wait_for(lock, std::chrono::milliseconds(walk_.helperIdleMs)) ==
                    std::cv_status::timeout &&
                index_ != 0 && walk_.queue.empty() && !walk_.over) {
                walk_.idle--;
                walk_.started--;
                walk_.indexTaken[static_cast<size_t>(index_)] = 0;
                return nullptr;
            }
        }
    }

    // The path of `folder` relative to the top ("" for the top).
    static std::string RelativePath(const TWalkFolder* folder) {
        std::vector<const std::string*> names;
        for (; folder->parent != nullptr; folder = folder->parent) names.push_back(&folder->name);
        std::string path;
        for (auto name = names.rbegin(); name != names.rend(); ++name) {
            if (!path.empty()) path.push_back('/');
            path.append(**name);
        }
        return path;
    }

    // For an entry of a folder on the way to mounts: the index of the mount on it (0: none), and
    // whether more mounts lie below it.
    int MountOfEntry(const std::string& folderPath, const char* name, bool& toward) const {
        std::string path = folderPath;
        if (!path.empty()) path.push_back('/');
        path.append(name);
        int mount = 0;
        toward = false;
        for (size_t k = 0; k < walk_.mountPaths.size(); k++) {
            const std::string& point = walk_.mountPaths[k];
            if (point == path)
                mount = static_cast<int>(k) + 1;
            else if (point.size() > path.size() && point.compare(0, path.size(), path) == 0 &&
                     point[path.size()] == '/')
                toward = true;
        }
        return mount;
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
        const std::string folderPath = folder->towardMount ? RelativePath(folder) : std::string();
        int result = 0;
        bool first = true;
        for (int listed = 1;; listed++) {
            errno = 0;
            const dirent* entry = readdir(dir);
            if (listed % kEntriesPerProgress == 0) FsProgress();
            if (entry == nullptr) {
                if (first && errno != 0) result = errno;
                break;
            }
            first = false;
            int mount = 0;
            bool toward = false;
            if (folder->towardMount && !IsDotName(entry->d_name))
                mount = MountOfEntry(folderPath, entry->d_name, toward);
            TWalkEntry walkEntry(
                fd, entry->d_name, entry->d_type, index_,
                mount > 0 ? &walk_.fileSystems[static_cast<size_t>(mount)] : nullptr);
            bool wanted = walk_.visit(walkEntry) && !IsDotName(entry->d_name) && !deepest &&
                          walkEntry.Kind() == S_IFDIR;
            if (walkEntry.Refused()) {
                walk_.Fail(ETIMEDOUT);
                break;
            }
            if (!wanted) continue;
            TWalkFolder* child = NewChildFolder(folder, entry->d_name);
            if (mount > 0) child->mount = mount;
            child->towardMount = toward;
            found_.push_back(child);
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
        int index = 1;
        while (walk.indexTaken[static_cast<size_t>(index)]) index++;
        walk.indexTaken[static_cast<size_t>(index)] = 1;
        walk.started++;
        try {
            walk.helpers.emplace_back([&walk, index] {
                {
                    TFsRequestScope request(walk.requestStart);
                    TWorker helper(walk, index);
                    helper.Run();
                }
                helpersRunning.fetch_sub(1);
            });
        } catch (const std::system_error&) {
            walk.started--;
            walk.indexTaken[static_cast<size_t>(index)] = 0;
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

namespace {

// The file systems of a walk from the folder `top` (resolved): its own, then every mount below it,
// with its path relative to the top.
void FindFileSystems(const TFsTarget& own, const std::string& top, TWalk& walk) {
    walk.fileSystems.push_back(own);
    const size_t skip = top == "/" ? 1 : top.size() + 1;
    for (TFsTarget& mount : FsMountsBelow(top)) {
        walk.mountPaths.push_back(mount.mountPoint.substr(skip));
        walk.fileSystems.push_back(std::move(mount));
    }
    walk.top->towardMount = !walk.mountPaths.empty();
}

}  // namespace

int WalkTree(const String& top, const TWalkVisitor& visit, int workers) {
    String root = top.Length() > 0 ? top : GetCurrentDir();
    if (root.Length() == 0) return ENOENT;
    root.SetZero();
    TFsCall topCall;
    if (!topCall.EnterPath(root.Data())) return ETIMEDOUT;
    int fd = open(root.Data(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && DeniedOpen(fd, topCall.Path(), root.Data())) {
        close(fd);
        return EACCES;
    }
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
    walk.requestStart = FsRequestStart();
    walk.helperIdleMs = FsStallMilliseconds();
    walk.indexTaken.assign(static_cast<size_t>(walk.workers), 0);
    walk.indexTaken[0] = 1;
    FindFileSystems(topCall.Target(), topCall.Path(), walk);
    int result = 0;
    {
        TWorker caller(walk, 0);
        result = caller.ListTop(fd);
        topCall.Leave();
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
