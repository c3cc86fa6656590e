// The folders of a tree walk (tree_walk.h) and the descriptors one worker holds to reach them.
// A folder is known by its name within its parent and, once opened, by its device and inode;
// every open is relative to the parent's descriptor and checked against what lstat showed.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>

// One folder found by the walk. Alive while it waits to be read, while a child of it is alive, or
// while a worker holds it open; the last Release frees it (and then its parent, if that was the
// parent's last reference).
struct TWalkFolder {
    TWalkFolder* parent = nullptr;  // null for the top
    std::atomic<int> refs{1};
    int depth = 0;  // 0 for the top
    int mount = 0;  // the walk's file system of the folder: 0 the top's, k the (k-1)th mount below
    // The folder is one of those on the way from the top to a mount below it, so its entries may
    // be mount points.
    bool towardMount = false;
    // Set by the first open, before any child exists; only checked after that.
    dev_t dev = 0;
    ino_t ino = 0;
    std::string name;  // within the parent
};

// A new folder `name` inside `parent`, holding one reference for the caller.
TWalkFolder* NewChildFolder(TWalkFolder* parent, const char* name);
// Drops one reference; frees the folders no longer referenced, up the chain, without recursion.
void ReleaseFolder(TWalkFolder* folder);

// The descriptors one worker holds: never more than kWalkWorkerDescriptors with the folder it is
// reading, besides the top, which it borrows from the walk. Not thread-safe: one per worker.
class TFolderHolder {
public:
    TFolderHolder(TWalkFolder* top, int topFd) : top_(top), topFd_(topFd) {}
    ~TFolderHolder() { DropAll(-1); }
    TFolderHolder(const TFolderHolder&) = delete;
    TFolderHolder& operator=(const TFolderHolder&) = delete;

    // Opens `folder` for reading, reaching its parent first when that is not held: a descriptor
    // the caller owns, or -errno (ELOOP, ENOTDIR or ESTALE when an entry on the way is no longer
    // the folder it was, ENOENT when it is gone, EMFILE or ENFILE when descriptors ran out even
    // after letting go of every held one).
    int Open(TWalkFolder* folder);
    // Makes room to hold one more folder (call before taking the descriptor to hold).
    void MakeRoomFor(const TWalkFolder* folder);
    // Keeps `fd`, open on `folder`, for opening the folder's children; takes a reference on it.
    void Hold(TWalkFolder* folder, int fd);

private:
    struct Held {
        TWalkFolder* folder;
        int fd;
    };
    static constexpr int kCapacity = 3;  // ancestors, beside the folder being read

    // The descriptor of `folder` (the top's, a held one, or reached again and then held), or
    // -errno. It stays owned by the holder.
    int Reach(TWalkFolder* folder);
    // Opens `child` inside the folder open on `parentFd`, checked; records its identity on the
    // first open and insists on it after. On EMFILE or ENFILE lets go of every held descriptor
    // other than `parentFd` and tries once more.
    int OpenStep(int parentFd, TWalkFolder* child);
    int HeldFd(const TWalkFolder* folder);
    void Evict(int index);
    // Closes and releases every held folder whose descriptor is not `keepFd`.
    void DropAll(int keepFd);

    TWalkFolder* top_;
    int topFd_;
    Held held_[kCapacity];
    int count_ = 0;
};
