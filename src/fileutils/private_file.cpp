#include "fileutils/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fileutils/paths.h"

namespace {

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

}  // namespace

int CreatePrivateFile(const String& folder, const char* name, unsigned mode, String& path,
                      String& message) {
    message = "";
    path = IncludeTrailingPathDelimiter(folder) + name;
    String terminated = folder;
    terminated.SetZero();
    if (folder.Length() == 0 || std::strlen(terminated.Data()) != size_t(folder.Length())) {
        message = String("folder ") + Quoted(folder) + " is not a valid path";
        return kPrivateFileFailed;
    }
    int dir = open(terminated.Data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (dir < 0) {
        message = Failure("cannot open folder", folder, errno);
        return kPrivateFileFailed;
    }
    int result = kPrivateFileFailed;
    struct stat info {};
    if (fstat(dir, &info) != 0) {
        message = Failure("cannot examine folder", folder, errno);
    } else if (!SafeFolder(info, folder, message)) {
        result = kPrivateFileUnsafe;
    } else if ((result = RemoveExisting(dir, name, path, message)) == 0) {
        int fd =
            openat(dir, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode & 07777);
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
