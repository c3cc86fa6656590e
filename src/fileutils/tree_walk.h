// A walk of a directory tree for the folder size and file count tests.
//
// The walk never leaves its tree. Each folder is opened relative to its parent's descriptor
// without following a link, and what was opened must be what was examined: the entry's device and
// inode (lstat before the open) equal those of the descriptor (fstat after it). A folder swapped
// for a link, a file or another folder meanwhile is skipped with all it holds. No path text is
// built, so the path length bounds nothing; the walk keeps these bounds instead:
//
// - Depth: folders down to kMaxWalkDepth levels below the top are read; deeper ones are skipped
//   like folders that cannot be read.
// - Descriptors: the top stays open for the whole walk, and each worker holds at most
//   kWalkWorkerDescriptors more: the folder it reads and up to three of its ancestors. A folder
//   whose parent is no longer held is reached again from the deepest ancestor held (or the top),
//   one component at a time, each step checked against the device and inode found the first time.
// - Memory: the folders still to read wait on the heap (no recursion), each worker's own in a
//   stack, and at most kMaxSharedFolders in a queue that the workers of one walk share.
//
// File systems: every folder is opened and read inside a call of the file-system guard
// (fs_guard.h) on its own file system. The walk knows the mounts below its top from the mount table
// alone, and an entry that is one of them is examined (or walked into) inside a call on that file
// system. When a call is refused because its file system does not answer, the walk fails
// (ETIMEDOUT) rather than give a sum that leaves part of the tree out.
//
// Workers: the calling thread walks, and may borrow helpers that take folders from the shared
// queue while it reads others. All walks of the process together borrow at most `workers` - 1
// helpers at a time (the caller passes the agent's setting), so folder checks add that many
// threads at most, however many arrive at once; with 1 the caller walks alone. A helper that has
// had nothing to do for `fsstall` (another worker of its walk is held up) gives its place back.
#pragma once

#include <sys/stat.h>

#include <functional>

#include "fileutils/fs_guard.h"
#include "foundation/string.h"

constexpr int kMaxWalkDepth = 4096;
constexpr int kWalkWorkerDescriptors = 4;
constexpr int kMaxSharedFolders = 4096;

// One entry of the folder being read. Its type comes from the listing when the file system tells
// it there, and otherwise from lstat, which is taken once, on first need.
class TWalkEntry {
public:
    // `mount`: the file system mounted on this entry, or null when it is no mount point.
    TWalkEntry(int dirFd, const char* name, unsigned char type, int worker,
               const TFsTarget* mount = nullptr);

    const char* Name() const { return name_; }
    // The worker making this call, 0 (the calling thread) to workers - 1: a visitor that keeps one
    // tally per worker needs no lock.
    int Worker() const { return worker_; }
    // The entry's lstat data, or null when it vanished after the listing.
    const struct stat* Stat();
    // The file type bits (S_IFDIR, S_IFREG, ...) of the entry itself, or 0 when lstat was needed
    // and failed.
    mode_t Kind();
    // Attribute bits of search.h without attrReadOnly; -1 when lstat was needed and failed.
    int Attributes();
    // True when lstat was needed on a mount point whose file system does not answer.
    bool Refused() const { return refused_; }

private:
    int dirFd_;
    const char* name_;
    unsigned char type_;  // DT_* from the listing
    int worker_;
    const TFsTarget* mount_;
    int statState_ = 0;  // 0 not asked, 1 held, -1 failed
    bool refused_ = false;
    struct stat stat_;
};

// Called for every entry of every folder walked, "." and ".." included. Returning true asks to
// walk into the entry, which is done only for a directory other than "." and "..". With more than
// one worker it is called from several threads at once.
using TWalkVisitor = std::function<bool(TWalkEntry& entry)>;

// Walks the folder `top` (empty: the working directory; a link to a folder is followed here, and
// only here) with up to `workers` workers (1 or more). Returns 0, or the system's error number
// when `top` cannot be opened or read, when descriptors ran out (EMFILE, ENFILE) so that a folder
// could not be read for that reason alone, or ETIMEDOUT when a file system the walk needed does
// not answer. A subfolder that cannot be opened is skipped; a
// read error ends that folder's listing.
int WalkTree(const String& top, const TWalkVisitor& visit, int workers = 1);

// Helpers borrowed by all walks right now (for tests).
int WalkHelpersRunning();
