// Files and folders that no check may read or walk into (password databases, private keys, the
// agent's own configuration). The rule holds for what a check actually opened, not for the name it
// asked for: every place that opens a file or folder for a check asks DeniedOpen about the open
// descriptor and the resolved path, so that a link, "..", a wildcard or a hard link that reaches a
// denied entry is refused as well.
//
// A denied entry is matched three ways:
// - its resolved path (or, for a folder, any path below it) against the resolved path of what was
//   opened; the last name of an entry may hold wildcards ("/etc/ssh/ssh_host_*_key");
// - its device and inode, and those of everything inside a denied folder, taken when the set is
//   built: another name of the same file (a hard link) is refused too;
// - for a file with more than one name, the device and inode its entries name right now (a file
//   replaced since the set was built, as the password files are on every change).
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

// One entry: a path (absolute; wildcards allowed in its last name) and the rule that put it there,
// as the failure log names it.
struct TDeniedRule {
    std::string path;
    std::string rule;
};

// The entries every agent denies unless the configuration turns them off.
const std::vector<TDeniedRule>& DefaultDeniedRules();

// Makes `rules` the denied set in force (safe while checks run: each check sees the old set or
// the new one). Entries that do not exist are kept as patterns; folders are listed (at most
// kDeniedFolderEntries entries each, kDeniedFolderDepth levels down) for their inodes.
void SetDeniedPaths(const std::vector<TDeniedRule>& rules);
constexpr int kDeniedFolderEntries = 4096;
constexpr int kDeniedFolderDepth = 8;

// True when the file or folder open as `fd`, reached as `resolvedPath` (absolute, links
// resolved; may be empty when unknown), is denied. Then `rule`, when given, names the entry that
// denied it. An fd whose status cannot be read is not denied here (the caller's read fails).
bool IsDeniedOpen(int fd, const std::string& resolvedPath, std::string* rule = nullptr);
// The same for an entry whose status is known (a folder reached during a walk).
bool IsDeniedEntry(const struct stat& st, const std::string& resolvedPath,
                   std::string* rule = nullptr);

// For the places that open for checks: true when the open `fd` is denied. Then it tells the
// reporter (the failure log) that `asked` was refused and by which rule, and sets errno to EACCES;
// the caller closes fd and fails as it does for a file it may not open.
bool DeniedOpen(int fd, const std::string& resolvedPath, const char* asked);
// Installs what is told that a check was refused (asked name, rule).
void SetDeniedReporter(void (*report)(const char* asked, const char* rule));
