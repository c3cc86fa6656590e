// Wildcard search of one directory: FindFirst, FindNext and FindClose fill a TSearchRec with each
// entry whose name matches a shell pattern and whose attribute bits the caller accepts. Entries
// come in the directory's own order. Every function is re-entrant: the whole state of a search
// lives in the caller's TSearchRec. The directory is read inside calls of the file-system guard
// (fs_guard.h); an entry that is the mount point of another file system is examined inside a call
// on that one, and not at all while that one does not answer (TSearchRec::Unexamined).
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "fileutils/fs_guard.h"
#include "foundation/string.h"

// Attribute bits of an entry. Bits 0x08 and 0x20 never occur on an entry but may stand in a
// caller's mask.
enum : int {
    attrReadOnly = 0x01,   // the process may not write the entry
    attrHidden = 0x02,     // the name begins with '.' and is neither "." nor ".."
    attrSystem = 0x04,     // neither a directory nor a regular file: links, devices, pipes, sockets
    attrDirectory = 0x10,  // a directory
    attrSymLink = 0x40,    // a symbolic link; always excluded, so never returned
    attrAny = 63,          // every kind a search can return
};

// One entry found, with the state of the search it came from. Copying copies the directory
// stream handle too: the copies share one open stream and only one of them may be passed to
// FindClose. Destroying a record does not close its stream; FindClose does (TSearchScope helps).
struct TSearchRec {
    time_t Time = 0;           // modification time of the entry itself (not of a link's target)
    int64_t Size = 0;          // size in bytes of the entry itself
    int Attr = 0;              // attribute bits, above
    char Name[256] = {};       // name within its directory, zero-terminated, cut at 255 bytes
    uint16_t Mode = 0;         // file type and permission bits of the entry itself
    DIR* DirHandle = nullptr;  // the open directory; null when no search is open
    int ExcludeMask = 0;       // attribute bits that reject an entry
    String DirPath;            // the searched directory, always ending in '/'
    String Pattern;            // the shell pattern names must match
    time_t ChangeTime = 0;     // status-change time of the entry itself
    // The entry is the mount point of a file system that does not answer, so it was not examined:
    // its name matched, and it carries attrDirectory, size 0 and times 0 whatever the mask.
    // Callers that need to know more about it fail as on that file system.
    bool Unexamined = false;
    TFsTarget Fs;                        // the file system of the searched directory
    std::string FsPath;                  // the searched directory, its links resolved
    std::vector<TFsTarget> ChildMounts;  // mounts made on entries of the directory
};

// Starts a search of directory `dir` (empty: the working directory) for names matching `pattern`
// (fnmatch without flags: '*', '?', bracket sets; '*' matches "." and ".." too). `attr` is the
// mask of attribute bits the caller accepts: an entry is returned only when each of its bits is
// in the mask's six low bits. So a symbolic link is never returned, and a read-only entry only
// when the mask holds attrReadOnly. Returns 0 with the first entry in rec, or non-zero (the
// system's error number when the directory cannot be opened, -1 when nothing matches); then no
// search stays open.
int FindFirst(const String& dir, const String& pattern, int attr, TSearchRec& rec);
// The same with the directory part and the last component of `path` (its pattern).
int FindFirst(const char* path, int attr, TSearchRec& rec);
// The next matching entry: 0, or -1 when there is none (or the directory cannot be read).
int FindNext(TSearchRec& rec);
// Closes the search if one is open; calling it again does nothing.
void FindClose(TSearchRec& rec);

// Closes a record's search when the scope ends, whichever way it is left.
class TSearchScope {
public:
    explicit TSearchScope(TSearchRec& rec) : rec_(rec) {}
    ~TSearchScope() { FindClose(rec_); }
    TSearchScope(const TSearchScope&) = delete;
    TSearchScope& operator=(const TSearchScope&) = delete;

private:
    TSearchRec& rec_;
};

// The attribute bits that follow from an entry's type (from lstat) and its name: everything but
// attrReadOnly, which needs a question to the system. A link gets attrSymLink | attrSystem.
int TypeAttributes(mode_t mode, const char* name);
// True when a search with the mask `attr` accepts an entry with the attribute bits `bits`.
inline bool AttributesAccepted(int bits, int attr) {
    return (bits & ~(attr & attrAny)) == 0;
}
// True for the names "." and "..".
bool IsDotName(const char* name);

// A shell pattern as the search matches names (fnmatch without flags, up to the pattern's first
// NUL), with "*", which matches every name, answered without the call.
class TNamePattern {
public:
    explicit TNamePattern(const String& pattern);
    bool Matches(const char* name) const;

private:
    String pattern_;  // zero-terminated
    bool everything_;
};
