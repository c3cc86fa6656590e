#include "fileutils/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "fileutils/file_facts.h"
#include "fileutils/paths.h"
#include "fileutils/search.h"

TWalkEntry::TWalkEntry(int dirFd, const char* name, unsigned char type)
    : dirFd_(dirFd), name_(name), type_(type) {}

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

int TWalkEntry::Attributes() {
    mode_t type = statState_ == 0 ? ListedType(type_) : 0;
    if (type != 0) return TypeAttributes(type, name_);
    const struct stat* st = Stat();
    return st ? TypeAttributes(st->st_mode, name_) : -1;
}

namespace {

// A directory whose subdirectories are still to be walked.
struct Frame {
    String path;                       // ends in '/'
    std::vector<std::string> pending;  // names of subdirectories to walk, in listing order
    size_t next = 0;
};

// Lists one directory: every entry goes to the visitor, and the subdirectories it wants to walk
// into are noted in `pending`. Returns 0 or the error number of the open or of the first read.
int ListDirectory(const String& path, bool followLink, const TWalkVisitor& visit,
                  std::vector<std::string>& pending) {
    // A trailing '/' would make the system follow a link even with O_NOFOLLOW.
    String name = followLink ? path : ExcludeTrailingPathDelimiter(path);
    name.SetZero();
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY | (followLink ? 0 : O_NOFOLLOW);
    int fd = open(name.Data(), flags);
    if (fd < 0) return errno;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        int error = errno;
        close(fd);
        return error;
    }
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
        TWalkEntry walkEntry(fd, entry->d_name, entry->d_type);
        if (!visit(walkEntry) || IsDotName(entry->d_name)) continue;
        int attr = walkEntry.Attributes();
        if (attr >= 0 && (attr & attrDirectory) != 0) pending.emplace_back(entry->d_name);
    }
    closedir(dir);
    return result;
}

}  // namespace

int WalkTree(const String& top, const TWalkVisitor& visit) {
    String root = top.Length() > 0 ? top : GetCurrentDir();
    if (root.Length() == 0) return ENOENT;
    Frame first{IncludeTrailingPathDelimiter(root), {}, 0};
    int error = ListDirectory(first.path, true, visit, first.pending);
    if (error != 0) return error;

    std::vector<Frame> stack;
    stack.push_back(std::move(first));
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.pending.size()) {
            stack.pop_back();
            continue;
        }
        const std::string& sub = frame.pending[frame.next++];
        Frame child{frame.path + String(sub.data(), static_cast<int>(sub.size())) + "/", {}, 0};
        // A subdirectory that cannot be opened (gone, denied, a link by now, path too long) is
        // skipped with whatever it holds.
        if (ListDirectory(child.path, false, visit, child.pending) == 0 && !child.pending.empty())
            stack.push_back(std::move(child));
    }
    return 0;
}
