#if defined(__FreeBSD__)

// Not compiled on the Linux machines the project is built and tested on: kept beside its Linux
// counterpart, to be built and checked on FreeBSD.

// sys/param.h must come first; the blank line keeps the formatter from sorting it after.
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/ucred.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/mount_table.h"

namespace {

// True when `prefix` is `path` or one of its folders, compared as whole components.
bool CoversPath(const std::string& prefix, const std::string& path) {
    if (prefix == "/") return true;
    return path.compare(0, prefix.size(), prefix) == 0 &&
           (path.size() == prefix.size() || path[prefix.size()] == '/');
}

}  // namespace

TMountTableReader::TMountTableReader() {}

TMountTableReader::~TMountTableReader() {}

// No notification of changes: every reading is a full one, so they are kept a second apart.
int TMountTableReader::RereadMilliseconds() {
    return 1000;
}

bool TMountTableReader::Changed() {
    return true;
}

int TMountTableReader::Read(std::vector<TMountRecord>& records) {
    // getfsstat() with MNT_NOWAIT returns what the kernel holds, without asking any file system
    // (MNT_WAIT would statfs each of them, and hang on one that does not answer). It is the call
    // behind getmntinfo(MNT_NOWAIT), without that function's one buffer shared by all threads.
    std::unique_ptr<struct statfs[]> list;
    int count = 0;
    for (int attempt = 0; attempt < 4; attempt++) {
        int room = getfsstat(nullptr, 0, MNT_NOWAIT);
        if (room < 0) return errno;
        room += 16;  // mounts made meanwhile
        list.reset(new struct statfs[room]);
        count = getfsstat(list.get(), static_cast<long>(sizeof(struct statfs)) * room, MNT_NOWAIT);
        if (count < 0) return errno;
        if (count < room) break;
    }
    records.clear();
    records.reserve(static_cast<size_t>(count));
    // The list comes in the order of mounting: a mount's parent is the last earlier mount whose
    // point covers its own, which is all that visibility needs.
    for (int i = 0; i < count; i++) {
        TMountRecord record;
        record.id = i + 1;
        record.parent = 0;
        uint32_t id[2];
        std::memcpy(id, &list[i].f_fsid, sizeof id);
        record.fs = (static_cast<uint64_t>(id[0]) << 32) | id[1];
        record.point = list[i].f_mntonname;
        size_t longest = 0;
        for (int j = i - 1; j >= 0; j--) {
            const TMountRecord& earlier = records[static_cast<size_t>(j)];
            if (CoversPath(earlier.point, record.point) && earlier.point.size() > longest) {
                longest = earlier.point.size();
                record.parent = earlier.id;
            }
            if (longest == record.point.size()) break;
        }
        records.push_back(std::move(record));
    }
    return 0;
}

#endif
