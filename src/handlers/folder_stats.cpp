#include "handlers/folder_stats.h"

#include <fnmatch.h>
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <ctime>

#include "fileutils/file_facts.h"
#include "fileutils/paths.h"
#include "fileutils/search.h"
#include "fileutils/tree_walk.h"

const char* const CountFilesModeName[6] = {"AllFiles",   "OlderThan",   "NewerThan",
                                           "BiggerThan", "SmallerThan", "SubFolders"};

namespace {

// Sizes of sparse files may claim up to 2^63 bytes each: the sum stops at the largest value
// instead of wrapping.
int64_t SaturatingAdd(int64_t sum, int64_t size) {
    int64_t result;
    if (size < 0) return sum;
    return __builtin_add_overflow(sum, size, &result) ? INT64_MAX : result;
}

// Whole minutes since the epoch, truncated toward zero like the seconds they come from.
int64_t Minutes(time_t seconds) {
    return static_cast<int64_t>(seconds) / 60;
}

bool Counts(TCountFilesMode mode, int64_t value, int64_t nowMinute, const char* name,
            const struct stat& st) {
    const bool directory = S_ISDIR(st.st_mode);
    switch (mode) {
        case AllFiles:
            return !directory;
        case OlderThan:
            return !directory && Minutes(st.st_mtime) < nowMinute - value;
        case NewerThan:
            return !directory && Minutes(st.st_mtime) > nowMinute - value;
        case BiggerThan:
            return !directory && static_cast<int64_t>(st.st_size) > value;
        case SmallerThan:
            return !directory && static_cast<int64_t>(st.st_size) < value;
        case SubFolders:
            return directory && !IsDotName(name);
    }
    return false;
}

}  // namespace

double GetFolderSize(const String& path, bool subfolders) {
    String dir = path;
    String mask = "*";
    String name(path);
    name.SetZero();
    if (!DirectoryExists(name.Data())) {
        dir = ExtractFilePath(path);
        mask = ExtractFileName(path);
    }
    mask.SetZero();
    int64_t total = 0;
    auto visit = [&](TWalkEntry& entry) {
        const int attr = entry.Attributes();
        if (attr < 0 || !AttributesAccepted(attr, attrAny)) return false;  // a link, or gone
        if ((attr & attrDirectory) != 0) return subfolders;
        if (fnmatch(mask.Data(), entry.Name(), 0) != 0) return false;
        const struct stat* st = entry.Stat();
        if (st != nullptr && !S_ISDIR(st->st_mode) && !S_ISLNK(st->st_mode))
            total = SaturatingAdd(total, static_cast<int64_t>(st->st_size));
        return false;
    };
    if (WalkTree(dir, visit) != 0) return -1;
    return static_cast<double>(total);
}

int CountFiles(const String& folder, const String& mask, bool subfolders, TCountFilesMode mode,
               int value) {
    String pattern(mask);
    pattern.SetZero();
    const int64_t nowMinute = Minutes(time(nullptr));
    int64_t count = 0;
    auto visit = [&](TWalkEntry& entry) {
        if (fnmatch(pattern.Data(), entry.Name(), 0) == 0) {
            const struct stat* st = entry.Stat();
            if (st != nullptr &&
                AttributesAccepted(TypeAttributes(st->st_mode, entry.Name()), attrAny) &&
                Counts(mode, value, nowMinute, entry.Name(), *st))
                count++;
        }
        if (!subfolders) return false;
        // Read-only folders are walked too; hidden ones and links are not.
        const int attr = entry.Attributes();
        return attr >= 0 && AttributesAccepted(attr, attrDirectory | attrReadOnly);
    };
    if (WalkTree(folder, visit) != 0) return -1;
    return count > INT_MAX ? INT_MAX : static_cast<int>(count);
}
