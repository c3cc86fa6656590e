#include "fileutils/search.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "fileutils/denied_paths.h"
#include "fileutils/file_facts.h"
#include "fileutils/paths.h"

namespace {

constexpr int kMaxName = 255;

// Opens a directory for reading without handing its descriptor to programs we start; a denied
// folder (`resolved` is where the path leads) is refused as one we may not read.
DIR* OpenDirectoryStream(const String& path, const std::string& resolved, int& error) {
    String name(path);
    name.SetZero();
    int fd = open(name.Data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0 && DeniedOpen(fd, resolved, name.Data())) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        error = errno;
        close(fd);
    }
    return dir;
}

void FillName(TSearchRec& rec, const char* name) {
    size_t length = std::strlen(name);
    if (length > kMaxName) length = kMaxName;
    std::memcpy(rec.Name, name, length);
    rec.Name[length] = '\0';
}

// The mount made on entry `name` of the searched directory, or null.
const TFsTarget* ChildMount(const TSearchRec& rec, const char* name) {
    for (const TFsTarget& mount : rec.ChildMounts) {
        const std::string& point = mount.mountPoint;
        size_t slash = point.rfind('/');
        if (point.compare(slash + 1, std::string::npos, name) == 0) return &mount;
    }
    return nullptr;
}

// Reads entries until one matches the pattern and passes the exclusion mask; fills rec with it.
// Entries are examined relative to the open directory, so a long DirPath costs nothing extra.
int MatchNext(TSearchRec& rec) {
    if (rec.DirHandle == nullptr) return -1;
    const int fd = dirfd(rec.DirHandle);
    rec.Pattern.SetZero();
    const char* pattern = rec.Pattern.Data();
    TFsCall call;
    if (!call.Enter(rec.Fs, rec.FsPath)) return -1;
    for (;;) {
        const dirent* entry = readdir(rec.DirHandle);
        call.Progress();
        if (entry == nullptr) return -1;
        const char* name = entry->d_name;
        if (fnmatch(pattern, name, 0) != 0) continue;
        struct stat st;
        // A mount point is examined on its own file system, and not at all when that one does
        // not answer.
        const TFsTarget* mount = rec.ChildMounts.empty() ? nullptr : ChildMount(rec, name);
        TFsCall onMount;
        if (mount != nullptr && !onMount.Enter(*mount, mount->mountPoint)) {
            const int attr = TypeAttributes(S_IFDIR, name);
            if ((attr & rec.ExcludeMask) != 0) continue;
            rec.Time = rec.ChangeTime = 0;
            rec.Size = 0;
            rec.Attr = attr;
            rec.Mode = 0;
            rec.Unexamined = true;
            FillName(rec, name);
            return 0;
        }
        if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished meanwhile
        // A link is always excluded, so whether its target is a directory never matters.
        int attr = TypeAttributes(st.st_mode, name);
        if (!AttributesAccepted(attr, ~rec.ExcludeMask)) continue;
        if (faccessat(fd, name, W_OK, 0) != 0) attr |= attrReadOnly;
        if ((attr & rec.ExcludeMask) != 0) continue;

        rec.Time = st.st_mtime;
        rec.ChangeTime = st.st_ctime;
        rec.Size = static_cast<int64_t>(st.st_size);
        rec.Attr = attr;
        rec.Mode = static_cast<uint16_t>(st.st_mode);
        rec.Unexamined = false;
        FillName(rec, name);
        return 0;
    }
}

}  // namespace

bool IsDotName(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

TNamePattern::TNamePattern(const String& pattern) : pattern_(pattern) {
    pattern_.SetZero();
    everything_ = pattern_.Data()[0] == '*' && pattern_.Data()[1] == '\0';
}

bool TNamePattern::Matches(const char* name) const {
    return everything_ || fnmatch(pattern_.Data(), name, 0) == 0;
}

int TypeAttributes(mode_t mode, const char* name) {
    int attr = 0;
    if (S_ISDIR(mode))
        attr = attrDirectory;
    else if (S_ISLNK(mode))
        attr = attrSymLink | attrSystem;
    else if (!S_ISREG(mode))
        attr = attrSystem;
    if (name[0] == '.' && !IsDotName(name)) attr |= attrHidden;
    return attr;
}

int FindFirst(const String& dir, const String& pattern, int attr, TSearchRec& rec) {
    rec.DirHandle = nullptr;
    rec.ExcludeMask = ~(attr & attrAny);
    String base = dir.Length() > 0 ? dir : GetCurrentDir();
    // Without a working directory there is nothing to search (not the root instead).
    if (base.Length() == 0) return ENOENT;
    rec.DirPath = IncludeTrailingPathDelimiter(base);
    rec.Pattern = pattern;
    rec.Unexamined = false;
    int error = 0;
    {
        String name(rec.DirPath);
        name.SetZero();
        TFsCall call;
        if (!call.EnterPath(name.Data())) return ETIMEDOUT;
        rec.Fs = call.Target();
        rec.FsPath = call.Path();
        rec.DirHandle = OpenDirectoryStream(rec.DirPath, rec.FsPath, error);
    }
    if (rec.DirHandle == nullptr) return error != 0 ? error : -1;
    // The mounts made on entries of this directory, which the table alone tells.
    rec.ChildMounts = FsMountsIn(rec.FsPath);
    int found = MatchNext(rec);
    if (found != 0) FindClose(rec);
    return found;
}

int FindFirst(const char* path, int attr, TSearchRec& rec) {
    String whole(path);
    return FindFirst(ExtractFilePath(whole), ExtractFileName(whole), attr, rec);
}

int FindNext(TSearchRec& rec) {
    return MatchNext(rec);
}

void FindClose(TSearchRec& rec) {
    if (rec.DirHandle == nullptr) return;
    closedir(rec.DirHandle);
    rec.DirHandle = nullptr;
}
