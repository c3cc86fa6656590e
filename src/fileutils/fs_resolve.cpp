// Finding the file system a path reaches, one component at a time (TFsCall::EnterPath).
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fileutils/file_facts.h"
#include "fileutils/fs_guard.h"

namespace {

// Drops the last component of `resolved` ("" stands for the root).
void DropLast(std::string& resolved) {
    size_t cut = resolved.rfind('/');
    resolved.resize(cut == std::string::npos ? 0 : cut);
}

}  // namespace

bool ResolveFsPath(const char* path, bool followLast, std::string& resolved, TFsTarget& target) {
    std::string pending;
    if (path == nullptr || path[0] != '/') {
        String folder = GetCurrentDir();
        pending.assign(folder.Data(), static_cast<size_t>(folder.Length()));
        pending.push_back('/');
    }
    if (path != nullptr) pending.append(path);
    resolved.clear();
    size_t at = 0;
    int links = 0;
    // Once a component cannot be examined (it is missing, or links loop), the rest of the path is
    // taken as it is written: the call fails there, on the file system found so far.
    bool asWritten = false;
    for (;;) {
        while (at < pending.size() && pending[at] == '/') at++;
        if (at >= pending.size()) break;
        size_t end = pending.find('/', at);
        if (end == std::string::npos) end = pending.size();
        const std::string_view name(pending.data() + at, end - at);
        at = end;
        if (name == ".") continue;
        if (name == "..") {
            DropLast(resolved);
            continue;
        }
        const size_t parentLength = resolved.size();
        resolved.push_back('/');
        resolved.append(name);
        const bool last = pending.find_first_not_of('/', at) == std::string::npos;
        if (asWritten || (last && !followLast)) continue;
        bool mountPoint = false;
        TFsTarget here = FsTargetOf(resolved, &mountPoint);
        if (mountPoint) continue;  // a mount point is a folder (or a file), never a link
        TFsCall step;
        if (!step.Enter(here, resolved)) return false;
        struct stat st;
        if (lstat(resolved.c_str(), &st) != 0) {
            asWritten = true;
            continue;
        }
        if (!S_ISLNK(st.st_mode)) continue;
        char link[PATH_MAX];
        ssize_t length = ++links > kMaxFsLinks ? -1 : readlink(resolved.c_str(), link, sizeof link);
        step.Leave();
        if (length <= 0) {
            asWritten = true;
            continue;
        }
        // The link's text takes its place; an absolute one starts again from the root.
        resolved.resize(parentLength);
        if (link[0] == '/') resolved.clear();
        pending = std::string(link, static_cast<size_t>(length)) + "/" + pending.substr(at);
        at = 0;
    }
    if (resolved.empty()) resolved = "/";
    target = FsTargetOf(resolved);
    return true;
}
