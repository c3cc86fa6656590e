// A depth-first walk of a directory tree for the folder size and file count tests. It keeps its
// own stack on the heap and holds one directory open at a time, so neither a thread's small stack
// nor the descriptor limit bounds the depth; the path length does (a subdirectory whose path no
// longer fits cannot be opened and is skipped). Symbolic links are never followed: a subdirectory
// is opened with O_NOFOLLOW, so one replaced by a link after it was listed is skipped, and the walk
// can neither loop nor leave the tree.
#pragma once

#include <sys/stat.h>

#include <functional>

#include "foundation/string.h"

// One entry of the directory being read. Its type comes from the directory listing when the file
// system tells it there, and otherwise from lstat, which is taken once, on first need.
class TWalkEntry {
public:
    TWalkEntry(int dirFd, const char* name, unsigned char type);

    const char* Name() const { return name_; }
    // The entry's lstat data, or null when it vanished after the listing.
    const struct stat* Stat();
    // Attribute bits of search.h without attrReadOnly; -1 when lstat was needed and failed.
    int Attributes();

private:
    int dirFd_;
    const char* name_;
    unsigned char type_;  // DT_* from the listing
    int statState_ = 0;   // 0 not asked, 1 held, -1 failed
    struct stat stat_;
};

// Called for every entry of every directory walked, "." and ".." included. Returning true asks to
// walk into the entry, which is done only for a directory other than "." and "..".
using TWalkVisitor = std::function<bool(TWalkEntry& entry)>;

// Walks the directory `top` (empty: the working directory; a link to a directory is followed
// here, and only here). Returns 0, or the system's error number when `top` cannot be opened or
// read. A subdirectory that cannot be opened is skipped; a read error ends that directory's
// listing.
int WalkTree(const String& top, const TWalkVisitor& visit);
