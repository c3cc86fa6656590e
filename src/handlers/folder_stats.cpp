#include "handlers/folder_stats.h"

#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <ctime>
#include <vector>

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

// One running total per worker of a walk, each on its own cache line.
struct alignas(64) TTally {
    int64_t value = 0;
};

int Workers(int workers) {
    return workers < 1 ? 1 : workers;
}

// WalkTree, with its error number handed on.
bool Walked(const String& top, const TWalkVisitor& visit, int workers, int* walkError) {
    int error = WalkTree(top, visit, Workers(workers));
    if (error != 0 && walkError != nullptr) *walkError = error;
    return error == 0;
}

}  // namespace

double GetFolderSize(const String& path, bool subfolders, int workers, int* walkError) {
    String dir = path;
    String mask = "*";
    String name(path);
    name.SetZero();
    if (!DirectoryExists(name.Data())) {
        dir = ExtractFilePath(path);
        mask = ExtractFileName(path);
    }
    const TNamePattern pattern(mask);
    std::vector<TTally> totals(static_cast<size_t>(Workers(workers)));
    auto visit = [&](TWalkEntry& entry) {
        const int attr = entry.Attributes();
        if (attr < 0 || !AttributesAccepted(attr, attrAny)) return false;  // a link, or gone
        if ((attr & attrDirectory) != 0) return subfolders;
        if (!pattern.Matches(entry.Name())) return false;
        const struct stat* st = entry.Stat();
        if (st != nullptr && !S_ISDIR(st->st_mode) && !S_ISLNK(st->st_mode)) {
            int64_t& total = totals[static_cast<size_t>(entry.Worker())].value;
            total = SaturatingAdd(total, static_cast<int64_t>(st->st_size));
        }
        return false;
    };
    if (!Walked(dir, visit, workers, walkError)) return -1;
    int64_t total = 0;
    for (const TTally& part : totals) total = SaturatingAdd(total, part.value);
    return static_cast<double>(total);
}

int CountFiles(const String& folder, const String& mask, bool subfolders, TCountFilesMode mode,
               int value, int workers, int* walkError) {
    const TNamePattern pattern(mask);
    const int64_t nowMinute = Minutes(time(nullptr));
    // Counting all files or folders needs only the type, which the listing mostly tells.
    const bool byType = mode == AllFiles || mode == SubFolders;
    std::vector<TTally> tallies(static_cast<size_t>(Workers(workers)));
    auto visit = [&](TWalkEntry& entry) {
        if (pattern.Matches(entry.Name())) {
            bool counted = false;
            if (byType) {
                const mode_t kind = entry.Kind();
                counted = kind != 0 && kind != S_IFLNK &&
                          (mode == AllFiles ? kind != S_IFDIR
                                            : kind == S_IFDIR && !IsDotName(entry.Name()));
            } else {
                const struct stat* st = entry.Stat();
                counted = st != nullptr && !S_ISLNK(st->st_mode) &&
                          Counts(mode, value, nowMinute, entry.Name(), *st);
            }
            if (counted) tallies[static_cast<size_t>(entry.Worker())].value++;
        }
        if (!subfolders) return false;
        // Read-only folders are walked too; hidden ones and links are not.
        const int attr = entry.Attributes();
        return attr >= 0 && AttributesAccepted(attr, attrDirectory | attrReadOnly);
    };
    if (!Walked(folder, visit, workers, walkError)) return -1;
    int64_t count = 0;
    for (const TTally& part : tallies) count += part.value;
    return count > INT_MAX ? INT_MAX : static_cast<int>(count);
}
