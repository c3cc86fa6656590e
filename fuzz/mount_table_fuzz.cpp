// The mount table as the kernel lists it (mountinfo), and the map that tells which mount a path
// reaches. Input: the table text; every mount point and path prefix in it is then looked up. The
// answer must always be a visible mount whose point covers the path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fileutils/mount_map.h"
#include "platform/mount_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    std::vector<TMountRecord> records;
    ParseMountInfo(std::string_view(reinterpret_cast<const char*>(data), size), records);
    std::vector<std::string> paths;
    for (const TMountRecord& record : records) {
        if (record.point.empty() || record.point[0] != '/') abort();
        paths.push_back(record.point);
        paths.push_back(record.point + "/x/y");
    }
    TMountMap map(std::move(records));
    for (const std::string& path : paths) {
        const TMountRecord* mount = map.MountOf(path);
        if (mount != nullptr && !PathCovers(mount->point, path)) abort();
        const TMountRecord* exact = map.MountAt(path);
        if (exact != nullptr && exact->point != path) abort();
        for (const TMountRecord* below : map.MountsBelow(path))
            if (below->point.size() <= path.size() || !PathCovers(path, below->point)) abort();
        for (const TMountRecord* in : map.MountsIn(path))
            if (in->point.size() <= path.size() || !PathCovers(path, in->point) ||
                in->point.find('/', path.size() + 1) != std::string::npos)
                abort();
    }
    return 0;
}
