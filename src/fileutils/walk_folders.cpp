#include "fileutils/walk_folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "fileutils/denied_paths.h"
#include "fileutils/tree_walk.h"

static_assert(kWalkWorkerDescriptors == 4, "three held ancestors and the folder being read");

TWalkFolder* NewChildFolder(TWalkFolder* parent, const char* name) {
    TWalkFolder* child = new TWalkFolder;
    child->parent = parent;
    child->depth = parent->depth + 1;
    child->mount = parent->mount;
    child->name = name;
    parent->refs.fetch_add(1, std::memory_order_relaxed);
    return child;
}

void ReleaseFolder(TWalkFolder* folder) {
    while (folder != nullptr && folder->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        TWalkFolder* parent = folder->parent;
        delete folder;
        folder = parent;
    }
}

namespace {

// Opens the folder `name` inside the one open on `parentFd` without following a link, and checks
// that the descriptor is the entry lstat showed (the name may have been swapped in between).
// Returns the descriptor with its fstat data in `opened`, or -errno.
int OpenChecked(int parentFd, const char* name, struct stat& opened) {
    struct stat before;
    if (fstatat(parentFd, name, &before, AT_SYMLINK_NOFOLLOW) != 0) return -errno;
    if (!S_ISDIR(before.st_mode)) return S_ISLNK(before.st_mode) ? -ELOOP : -ENOTDIR;
    int fd;
    do fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return -errno;
    if (fstat(fd, &opened) != 0 || opened.st_dev != before.st_dev ||
        opened.st_ino != before.st_ino) {
        close(fd);
        return -ESTALE;
    }
    // A denied folder is skipped as one we may not enter.
    if (IsDeniedEntry(opened, std::string())) {
        close(fd);
        return -EACCES;
    }
    return fd;
}

bool IsAncestorOf(const TWalkFolder* ancestor, const TWalkFolder* folder) {
    while (folder != nullptr && folder->depth > ancestor->depth) folder = folder->parent;
    return folder == ancestor;
}

}  // namespace

int TFolderHolder::Open(TWalkFolder* folder) {
    int parentFd = Reach(folder->parent);
    return parentFd < 0 ? parentFd : OpenStep(parentFd, folder);
}

int TFolderHolder::OpenStep(int parentFd, TWalkFolder* child) {
    struct stat st;
    int fd = OpenChecked(parentFd, child->name.c_str(), st);
    if ((fd == -EMFILE || fd == -ENFILE) && count_ > 0) {
        DropAll(parentFd);
        fd = OpenChecked(parentFd, child->name.c_str(), st);
    }
    if (fd < 0) return fd;
    // The first open tells who the folder is; reaching it again must find the same one.
    if (child->dev == 0 && child->ino == 0) {
        child->dev = st.st_dev;
        child->ino = st.st_ino;
    } else if (child->dev != st.st_dev || child->ino != st.st_ino) {
        close(fd);
        return -ESTALE;
    }
    return fd;
}

int TFolderHolder::Reach(TWalkFolder* folder) {
    if (folder == top_) return topFd_;
    int fd = HeldFd(folder);
    if (fd >= 0) return fd;
    // Down from the deepest ancestor held (or the top), holding each folder on the way: the
    // deepest ones stay, ready for the folders read next.
    std::vector<TWalkFolder*> chain;
    TWalkFolder* from = folder;
    for (;;) {
        chain.push_back(from);
        from = from->parent;
        fd = from == top_ ? topFd_ : HeldFd(from);
        if (fd >= 0) break;
    }
    for (auto step = chain.rbegin(); step != chain.rend(); ++step) {
        fd = OpenStep(fd, *step);
        if (fd < 0) return fd;
        Hold(*step, fd);
    }
    return fd;
}

int TFolderHolder::HeldFd(const TWalkFolder* folder) {
    for (int i = 0; i < count_; i++)
        if (held_[i].folder == folder) return held_[i].fd;
    return -1;
}

void TFolderHolder::MakeRoomFor(const TWalkFolder* folder) {
    if (count_ < kCapacity) return;
    // A folder off the new one's ancestry is no longer needed; among its ancestors, the shallowest
    // is the one needed last and the cheapest to reach again.
    int victim = -1;
    for (int i = 0; i < count_ && victim < 0; i++)
        if (!IsAncestorOf(held_[i].folder, folder)) victim = i;
    if (victim < 0) {
        victim = 0;
        for (int i = 1; i < count_; i++)
            if (held_[i].folder->depth < held_[victim].folder->depth) victim = i;
    }
    Evict(victim);
}

void TFolderHolder::Hold(TWalkFolder* folder, int fd) {
    MakeRoomFor(folder);
    folder->refs.fetch_add(1, std::memory_order_relaxed);
    held_[count_++] = {folder, fd};
}

void TFolderHolder::Evict(int index) {
    close(held_[index].fd);
    ReleaseFolder(held_[index].folder);
    held_[index] = held_[--count_];
}

void TFolderHolder::DropAll(int keepFd) {
    for (int i = count_ - 1; i >= 0; i--)
        if (held_[i].fd != keepFd) Evict(i);
}
