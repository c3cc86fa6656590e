#include "fileutils/mount_map.h"

#include <string>
#include <unordered_set>

bool PathCovers(std::string_view folder, std::string_view path) {
    if (folder == "/") return !path.empty() && path[0] == '/';
    return path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

namespace {

std::string ChildKey(int parent, std::string_view point) {
    std::string key = std::to_string(parent);
    key.push_back(' ');
    key.append(point);
    return key;
}

}  // namespace

TMountMap::TMountMap(std::vector<TMountRecord> records) : records_(std::move(records)) {
    // The mounts on each mount's points, the last listed winning (it was mounted over the others).
    std::unordered_map<std::string, size_t> children;
    std::unordered_set<int> ids;
    for (const TMountRecord& record : records_) ids.insert(record.id);
    size_t root = records_.size();
    for (size_t i = 0; i < records_.size(); i++) {
        const TMountRecord& record = records_[i];
        if (record.parent == record.id || ids.count(record.parent) == 0) {
            if (record.point == "/") root = i;
        } else {
            children[ChildKey(record.parent, record.point)] = i;
        }
    }
    if (root == records_.size()) return;
    // A mount is visible when the path walk to its point ends on it: from the root, at every
    // folder on the way, into the mount made on that folder (and the one made over that, ...).
    auto walkTo = [&](std::string_view point) {
        size_t at = root;
        // Bounded: mounts made over each other in a cycle (never listed by a kernel, but the
        // table is read, not trusted) would otherwise be walked round for ever.
        auto descend = [&](std::string_view prefix) {
            for (size_t steps = 0; steps < records_.size(); steps++) {
                auto child = children.find(ChildKey(records_[at].id, prefix));
                if (child == children.end() || child->second == at) return;
                at = child->second;
            }
        };
        descend("/");
        for (size_t slash = 1; slash <= point.size(); slash++)
            if (slash == point.size() || point[slash] == '/') descend(point.substr(0, slash));
        return at;
    };
    for (size_t i = 0; i < records_.size(); i++) {
        if (walkTo(records_[i].point) != i) continue;
        const std::string_view point = records_[i].point;
        visible_[point] = i;
        if (point.size() > longestPoint_) longestPoint_ = point.size();
        if (point == "/") continue;
        const size_t slash = point.rfind('/');
        byFolder_[slash == 0 ? std::string_view("/") : point.substr(0, slash)].push_back(i);
    }
}

const TMountRecord* TMountMap::MountAt(std::string_view path) const {
    auto found = visible_.find(path);
    return found == visible_.end() ? nullptr : &records_[found->second];
}

const TMountRecord* TMountMap::MountOf(std::string_view path) const {
    // Only prefixes as long as some mount point can be one; from the longest down.
    size_t end = path.size();
    if (end > longestPoint_) {
        end = longestPoint_;
        while (end > 0 && path[end] != '/') end--;
    }
    for (;;) {
        if (end == 0) return MountAt("/");
        if (const TMountRecord* mount = MountAt(path.substr(0, end))) return mount;
        do end--;
        while (end > 0 && path[end] != '/');
    }
}

std::vector<const TMountRecord*> TMountMap::MountsBelow(std::string_view path) const {
    std::vector<const TMountRecord*> below;
    for (const auto& [point, index] : visible_)
        if (point.size() > path.size() && PathCovers(path, point))
            below.push_back(&records_[index]);
    return below;
}

std::vector<const TMountRecord*> TMountMap::MountsIn(std::string_view path) const {
    std::vector<const TMountRecord*> in;
    auto found = byFolder_.find(path);
    if (found != byFolder_.end())
        for (size_t index : found->second) in.push_back(&records_[index]);
    return in;
}
