#include "fileutils/denied_paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <glob.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace {

struct TInode {
    dev_t dev;
    ino_t ino;
    bool operator==(const TInode& other) const { return dev == other.dev && ino == other.ino; }
};

struct TInodeHash {
    size_t operator()(const TInode& inode) const {
        return std::hash<unsigned long long>()(static_cast<unsigned long long>(inode.ino) * 31u +
                                               static_cast<unsigned long long>(inode.dev));
    }
};

struct TPattern {
    std::string resolved;  // the entry with its folder's links resolved; wildcards kept
    size_t rule;           // index into TDeniedSet::rules
};

struct TDeniedSet {
    std::vector<TDeniedRule> rules;
    std::vector<TPattern> patterns;
    std::unordered_map<TInode, size_t, TInodeHash> inodes;  // inode -> rule index
};

std::mutex setMutex;  // guards only the hand-over of the pointer
std::shared_ptr<const TDeniedSet>* current = new std::shared_ptr<const TDeniedSet>();
std::atomic<void (*)(const char*, const char*)> reporter{nullptr};

std::shared_ptr<const TDeniedSet> CurrentSet() {
    std::lock_guard<std::mutex> lock(setMutex);
    return *current;
}

// `path` with the links of its folder resolved (the last name kept as written, wildcards and all).
std::string ResolveFolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return path;
    std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    char buffer[PATH_MAX];
    if (realpath(folder.c_str(), buffer) == nullptr) return path;
    std::string resolved = buffer;
    if (resolved != "/") resolved.push_back('/');
    return resolved + path.substr(slash + 1);
}

// Adds the inodes of everything inside the folder open as `fd` (taken over), `depth` levels down.
void AddFolderContents(int fd, int depth, size_t rule, int& budget, TDeniedSet& set) {
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return;
    }
    while (budget > 0) {
        const dirent* entry = readdir(dir);
        if (entry == nullptr) break;
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        budget--;
        struct stat st;
        if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) set.inodes.emplace(TInode{st.st_dev, st.st_ino}, rule);
        if (S_ISDIR(st.st_mode) && depth > 0) {
            int child = openat(dirfd(dir), name,
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
            if (child >= 0) AddFolderContents(child, depth - 1, rule, budget, set);
        }
    }
    closedir(dir);
}

void AddMatches(const std::string& pattern, size_t rule, TDeniedSet& set) {
    glob_t found{};
    if (glob(pattern.c_str(), GLOB_NOSORT, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; i++) {
            struct stat st;
            if (stat(found.gl_pathv[i], &st) != 0) continue;
            set.inodes.emplace(TInode{st.st_dev, st.st_ino}, rule);
            if (!S_ISDIR(st.st_mode)) continue;
            int fd = open(found.gl_pathv[i], O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
            int budget = kDeniedFolderEntries;
            if (fd >= 0) AddFolderContents(fd, kDeniedFolderDepth, rule, budget, set);
        }
    }
    globfree(&found);
}

// True when `path` or one of the folders above it matches `pattern`.
bool PathUnder(const std::string& path, const std::string& pattern) {
    if (fnmatch(pattern.c_str(), path.c_str(), FNM_PATHNAME) == 0) return true;
    std::string prefix;
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        prefix.assign(path, 0, slash);
        if (fnmatch(pattern.c_str(), prefix.c_str(), FNM_PATHNAME) == 0) return true;
    }
    return false;
}

// A file with several names may have been linked to a denied entry after the set was built:
// compare it with what the entries name now.
bool LinkedToEntryNow(const struct stat& st, const TDeniedSet& set, size_t& rule) {
    for (const TPattern& pattern : set.patterns) {
        glob_t found{};
        bool match = false;
        if (glob(pattern.resolved.c_str(), GLOB_NOSORT, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc && !match; i++) {
                struct stat now;
                match = stat(found.gl_pathv[i], &now) == 0 && now.st_dev == st.st_dev &&
                        now.st_ino == st.st_ino;
            }
        }
        globfree(&found);
        if (match) {
            rule = pattern.rule;
            return true;
        }
    }
    return false;
}

}  // namespace

const std::vector<TDeniedRule>& DefaultDeniedRules() {
    static const std::vector<TDeniedRule> rules = [] {
        std::vector<TDeniedRule> list;
        for (const char* path :
             {"/etc/shadow", "/etc/shadow-", "/etc/gshadow", "/etc/gshadow-", "/etc/sudoers",
              "/etc/sudoers.d", "/etc/ssl/private", "/root/.ssh", "/etc/ssh/ssh_host_*_key",
              "/etc/qdx-exporter"})
            list.push_back({path, std::string("default ") + path});
        return list;
    }();
    return rules;
}

void SetDeniedPaths(const std::vector<TDeniedRule>& rules) {
    auto set = std::make_shared<TDeniedSet>();
    set->rules = rules;
    for (size_t i = 0; i < rules.size(); i++) {
        if (rules[i].path.empty() || rules[i].path[0] != '/') continue;
        set->patterns.push_back({ResolveFolderOf(rules[i].path), i});
        AddMatches(rules[i].path, i, *set);
    }
    std::shared_ptr<const TDeniedSet> fresh = std::move(set);
    std::lock_guard<std::mutex> lock(setMutex);
    current->swap(fresh);
}

bool IsDeniedEntry(const struct stat& st, const std::string& resolvedPath, std::string* rule) {
    std::shared_ptr<const TDeniedSet> set = CurrentSet();
    if (set == nullptr || set->rules.empty()) return false;
    size_t index = 0;
    bool denied = false;
    auto inode = set->inodes.find(TInode{st.st_dev, st.st_ino});
    if (inode != set->inodes.end()) {
        index = inode->second;
        denied = true;
    }
    for (size_t i = 0; !denied && !resolvedPath.empty() && i < set->patterns.size(); i++) {
        if (PathUnder(resolvedPath, set->patterns[i].resolved)) {
            index = set->patterns[i].rule;
            denied = true;
        }
    }
    if (!denied && !S_ISDIR(st.st_mode) && st.st_nlink > 1)
        denied = LinkedToEntryNow(st, *set, index);
    if (denied && rule != nullptr) *rule = set->rules[index].rule;
    return denied;
}

bool IsDeniedOpen(int fd, const std::string& resolvedPath, std::string* rule) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    return IsDeniedEntry(st, resolvedPath, rule);
}

bool DeniedOpen(int fd, const std::string& resolvedPath, const char* asked) {
    std::string rule;
    if (!IsDeniedOpen(fd, resolvedPath, &rule)) return false;
    if (auto report = reporter.load()) report(asked != nullptr ? asked : resolvedPath.c_str(), rule.c_str());
    errno = EACCES;
    return true;
}

void SetDeniedReporter(void (*report)(const char* asked, const char* rule)) {
    reporter.store(report);
}
