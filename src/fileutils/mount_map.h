// Which mounted file system a path falls in, from the mount table alone (platform/mount_table.h):
// nothing is examined on disk, so a file system that stopped answering cannot hold the question.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/mount_table.h"

class TMountMap {
public:
    TMountMap() = default;
    explicit TMountMap(std::vector<TMountRecord> records);
    TMountMap(const TMountMap&) = delete;
    TMountMap& operator=(const TMountMap&) = delete;

    // The mount that `path` (absolute, without "." and ".." components, its links resolved)
    // reaches: the visible mount whose point is the longest prefix of it in whole components, so
    // "/mnt/nfs2" is not under "/mnt/nfs". A mount is visible when no later mount hides it (one
    // on the same point, or on a folder above it). Null only for a table without a root.
    const TMountRecord* MountOf(std::string_view path) const;
    // The visible mount whose point is exactly `path`, or null.
    const TMountRecord* MountAt(std::string_view path) const;
    // The visible mounts strictly below the folder `path`.
    std::vector<const TMountRecord*> MountsBelow(std::string_view path) const;
    // The visible mounts made on entries of the folder `path` (one level below it).
    std::vector<const TMountRecord*> MountsIn(std::string_view path) const;
    // Every mount of the table, visible or not.
    const std::vector<TMountRecord>& Records() const { return records_; }

private:
    std::vector<TMountRecord> records_;
    std::unordered_map<std::string_view, size_t> visible_;  // point -> index in records_
    // folder -> indexes of the visible mounts on its entries
    std::unordered_map<std::string_view, std::vector<size_t>> byFolder_;
    size_t longestPoint_ = 0;
};

// True when `folder` is `path` or one of the folders above it, in whole components.
bool PathCovers(std::string_view folder, std::string_view path);
