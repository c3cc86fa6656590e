#include "fileutils/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fileutils/paths.h"
#include "platform/open_flags.h"

namespace {

constexpr int kFolderFlags = kOpenToEnter | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

String Quoted(const String& path) {
    return String("'") + path + "'";
}

// "<what> '<path>': <system's reason>"
String Failure(const char* what, const String& path, int error) {
    return String(what) + " " + Quoted(path) + ": " + std::strerror(error);
}

// Nobody but this user (or root) may add, remove or rename entries of the folder.
bool SafeFolder(const struct stat& folder, const String& path, String& message) {
    if (folder.st_uid != geteuid() && folder.st_uid != 0) {
        message = String("folder ") + Quoted(path) + " belongs to another user";
        return false;
    }
    if ((folder.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (folder.st_mode & S_ISVTX) == 0) {
        message = String("folder ") + Quoted(path) + " is writable by other users and not sticky";
        return false;
    }
    return true;
}

// Checks the folder open as `fd`, known as `path`; kPrivateFile* with the reason, or 0.
int CheckFolder(int fd, const String& path, String& message) {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        message = Failure("cannot examine folder", path, errno);
        return kPrivateFileFailed;
    }
    return SafeFolder(info, path, message) ? 0 : kPrivateFileUnsafe;
}

// Removes whatever is called `name` in the folder; a folder of that name is refused.
int RemoveExisting(int dir, const char* name, const String& path, String& message) {
    struct stat existing {};
    if (fstatat(dir, name, &existing, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return 0;
        message = Failure("cannot examine", path, errno);
        return kPrivateFileFailed;
    }
    if (S_ISDIR(existing.st_mode)) {
        message = Quoted(path) + " is a folder";
        return kPrivateFileUnsafe;
    }
    if (unlinkat(dir, name, 0) != 0 && errno != ENOENT) {
        message = Failure("cannot remove the existing", path, errno);
        return kPrivateFileUnsafe;
    }
    return 0;
}

// The absolute path of `folder` without symbolic links, ".." or "." components.
bool Resolve(const String& folder, String& resolved, String& message) {
    String terminated = folder;
    terminated.SetZero();
    if (folder.Length() == 0 || std::strlen(terminated.Data()) != size_t(folder.Length())) {
        message = String("folder ") + Quoted(folder) + " is not a valid path";
        return false;
    }
    char* real = realpath(terminated.Data(), nullptr);
    if (real == nullptr) {
        message = Failure("cannot open folder", folder, errno);
        return false;
    }
    resolved = real;
    std::free(real);
    return true;
}

FileIdentity Identity(const struct stat& info) {
    FileIdentity identity;
    identity.device = info.st_dev;
    identity.inode = info.st_ino;
    identity.changedSeconds = info.st_ctim.tv_sec;
    identity.changedNanoseconds = info.st_ctim.tv_nsec;
    return identity;
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode && a.changedSeconds == b.changedSeconds &&
           a.changedNanoseconds == b.changedNanoseconds;
}

}  // namespace

int OpenPrivateFolder(const String& folder, String& resolved, String& message) {
    message = "";
    resolved = "";
    String path;
    if (!Resolve(folder, path, message)) return kPrivateFileFailed;
    String terminated = path;
    const std::string text(terminated.SetZero().Data(), size_t(path.Length()));

    int dir = open("/", kFolderFlags);
    if (dir < 0) {
        message = Failure("cannot open folder", String("/"), errno);
        return kPrivateFileFailed;
    }
    int result = CheckFolder(dir, String("/"), message);
    // One folder at a time from the root, none reached through a link: each is checked before
    // the next is looked up in it, so nothing that passed can be redirected by someone else.
    size_t from = 1;
    while (result == 0 && from < text.size()) {
        size_t slash = text.find('/', from);
        if (slash == std::string::npos) slash = text.size();
        const std::string name = text.substr(from, slash - from);
        const String reached(text.substr(0, slash).c_str());
        from = slash + 1;
        int next = openat(dir, name.c_str(), kFolderFlags);
        if (next < 0) {
            // A link here appeared after the path was resolved.
            result = errno == ELOOP || errno == ENOTDIR ? kPrivateFileUnsafe : kPrivateFileFailed;
            message = Failure("cannot open folder", reached, errno);
            break;
        }
        close(dir);
        dir = next;
        result = CheckFolder(dir, reached, message);
    }
    if (result != 0) {
        close(dir);
        return result;
    }
    resolved = path;
    return dir;
}

int CreatePrivateFile(const String& folder, const char* name, unsigned mode, String& path,
                      String& message) {
    String resolved;
    path = IncludeTrailingPathDelimiter(folder) + name;
    int dir = OpenPrivateFolder(folder, resolved, message);
    if (dir < 0) return dir;
    path = IncludeTrailingPathDelimiter(resolved) + name;
    int result = RemoveExisting(dir, name, path, message);
    if (result == 0) {
        int fd = openat(dir, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                        mode & 07777);
        if (fd < 0) {
            // Someone made the name again between the removal and the creation.
            result = errno == EEXIST ? kPrivateFileUnsafe : kPrivateFileFailed;
            message = Failure("cannot create", path, errno);
        } else if (fchmod(fd, mode & 07777) != 0) {
            message = Failure("cannot set the mode of", path, errno);
            close(fd);
            unlinkat(dir, name, 0);
            result = kPrivateFileFailed;
        } else {
            result = fd;
        }
    }
    close(dir);
    return result;
}

FileIdentity IdentityOf(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 ? Identity(info) : FileIdentity{};
}

bool IsPrivateFile(const String& path, const FileIdentity& identity, String& message) {
    int slash = path.Length();
    while (slash > 0 && path[slash] != '/') slash--;
    if (slash == 0) {
        message = Quoted(path) + " is not a full path";
        return false;
    }
    String resolved;
    int dir =
        OpenPrivateFolder(slash == 1 ? String("/") : path.Copy(1, slash - 1), resolved, message);
    if (dir < 0) return false;
    String name = path.Copy(slash + 1, path.Length() - slash);
    struct stat info {};
    bool same = fstatat(dir, name.SetZero().Data(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    if (!same)
        message = Failure("cannot examine", path, errno);
    else if (!S_ISREG(info.st_mode) || !SameFile(Identity(info), identity))
        message = Quoted(path) + " is no longer the file the agent wrote";
    same = message.Length() == 0;
    close(dir);
    return same;
}
