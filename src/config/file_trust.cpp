#include "config/file_trust.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

namespace {

// As the system allows on the way to one file.
constexpr int kMaxLinks = 40;

String Quoted(const std::string& path) {
    return String("'") + path.c_str() + "'";
}

String ModeText(mode_t mode) {
    char text[32];
    std::snprintf(text, sizeof text, " (mode %04o)", static_cast<unsigned>(mode & 07777));
    return String(text);
}

void CannotExamine(const std::string& path, int error, String& reason) {
    reason = String("cannot examine ") + Quoted(path) + ": " + std::strerror(error);
}

bool OwnedByTrusted(const struct stat& info, uid_t user, const std::string& path, String& reason) {
    if (info.st_uid == 0 || info.st_uid == user) return true;
    char text[96];
    if (user == 0)
        std::snprintf(text, sizeof text, " belongs to user %u, not to root",
                      static_cast<unsigned>(info.st_uid));
    else
        std::snprintf(text, sizeof text, " belongs to user %u, neither root nor user %u",
                      static_cast<unsigned>(info.st_uid), static_cast<unsigned>(user));
    reason = Quoted(path) + text;
    return false;
}

// Group or others may write `info`: refused, unless `stickyWillDo` and the sticky bit is set.
bool WritableOnlyByOwner(const struct stat& info, bool stickyWillDo, const std::string& path,
                         String& reason) {
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0) return true;
    if (stickyWillDo && (info.st_mode & S_ISVTX) != 0) return true;
    const char* who =
        (info.st_mode & S_IWOTH) != 0 ? " is writable by others" : " is writable by its group";
    reason = Quoted(path) + who + ModeText(info.st_mode);
    return false;
}

// The components of `path`, in order; empty ones and "." left out.
void Split(const std::string& path, std::deque<std::string>& components) {
    size_t from = 0;
    while (from <= path.size()) {
        size_t slash = path.find('/', from);
        if (slash == std::string::npos) slash = path.size();
        std::string name = path.substr(from, slash - from);
        if (!name.empty() && name != ".") components.push_back(name);
        from = slash + 1;
    }
}

// Puts the components of `target` in front of those still to walk.
void Splice(const std::string& target, std::deque<std::string>& todo) {
    std::deque<std::string> front;
    Split(target, front);
    todo.insert(todo.begin(), front.begin(), front.end());
}

bool ReadLink(const std::string& path, std::string& target, String& reason) {
    char buffer[PATH_MAX];
    ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
    if (n < 0 || static_cast<size_t>(n) >= sizeof buffer) {
        CannotExamine(path, n < 0 ? errno : ENAMETOOLONG, reason);
        return false;
    }
    target.assign(buffer, static_cast<size_t>(n));
    return true;
}

bool StartingFolder(const std::string& path, std::string& start, String& reason) {
    if (path[0] == '/') {
        start = "/";
        return true;
    }
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr) {
        CannotExamine(".", errno, reason);
        return false;
    }
    start = buffer;
    return true;
}

// `real` is a path without links; its parent ("/" stays "/").
std::string Parent(const std::string& real) {
    size_t slash = real.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : real.substr(0, slash);
}

std::string Child(const std::string& real, const std::string& name) {
    return real == "/" ? "/" + name : real + "/" + name;
}

// IsTrustedPath; also sets `absent` when the path's last name alone does not exist (or cannot,
// being too long) while everything on the way to it is trusted: nobody else can make it meanwhile.
bool Walk(const String& path, TrustedKind kind, uid_t user, String& reason, struct stat* found,
          bool& absent) {
    absent = false;
    reason = "";
    if (path.Length() == 0 || path.Pos('\0') != 0) {
        reason = Quoted(std::string(path.Data(), path.Data() ? path.Length() : 0)) +
                 " is not a valid path";
        return false;
    }
    const std::string given(path.Data(), static_cast<size_t>(path.Length()));
    std::string start;
    if (!StartingFolder(given, start, reason)) return false;

    // Walks from the root one name at a time: each folder is checked before anything is looked up
    // in it, so a name that passed cannot be changed by another user behind the walk's back.
    std::deque<std::string> todo;
    Split(start, todo);
    Split(given, todo);
    std::string real = "/";
    struct stat info {};
    if (lstat("/", &info) != 0) {
        CannotExamine("/", errno, reason);
        return false;
    }
    if (!OwnedByTrusted(info, user, real, reason) || !WritableOnlyByOwner(info, true, real, reason))
        return false;
    int links = 0;
    while (!todo.empty()) {
        std::string name = todo.front();
        todo.pop_front();
        if (name == "..") {
            real = Parent(real);
            continue;
        }
        std::string next = Child(real, name);
        if (lstat(next.c_str(), &info) != 0) {
            absent = todo.empty() && (errno == ENOENT || errno == ENAMETOOLONG);
            CannotExamine(next, errno, reason);
            return false;
        }
        if (!OwnedByTrusted(info, user, next, reason)) return false;
        if (S_ISLNK(info.st_mode)) {
            std::string target;
            if (++links > kMaxLinks) {
                reason = Quoted(given) + " passes through too many symbolic links";
                return false;
            }
            if (!ReadLink(next, target, reason)) return false;
            if (!target.empty() && target[0] == '/') real = "/";
            Splice(target, todo);
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            if (!todo.empty()) {
                reason = Quoted(next) + " is not a folder";
                return false;
            }
        } else if (!WritableOnlyByOwner(info, true, next, reason)) {
            return false;
        }
        real = next;
    }

    // The object itself: what the walk ended on, examined again in case it ended on "..".
    if (lstat(real.c_str(), &info) != 0) {
        CannotExamine(real, errno, reason);
        return false;
    }
    if (kind == TrustedKind::File && !S_ISREG(info.st_mode)) {
        reason = Quoted(real) + " is not a regular file";
        return false;
    }
    if (kind == TrustedKind::Folder && !S_ISDIR(info.st_mode)) {
        reason = Quoted(real) + " is not a folder";
        return false;
    }
    // A folder the agent writes into may be shared, as /tmp is, when it is sticky.
    if (!WritableOnlyByOwner(info, kind == TrustedKind::Folder, real, reason)) return false;
    if (found != nullptr) *found = info;
    return true;
}

}  // namespace

bool IsTrustedPath(const String& path, TrustedKind kind, uid_t user, String& reason,
                   struct stat* found) {
    bool absent;
    return Walk(path, kind, user, reason, found, absent);
}

bool IsTrustedOpenFile(int fd, const String& path, uid_t user, String& reason) {
    struct stat checked {};
    struct stat opened {};
    if (!IsTrustedPath(path, TrustedKind::File, user, reason, &checked)) return false;
    if (fstat(fd, &opened) != 0 || opened.st_dev != checked.st_dev ||
        opened.st_ino != checked.st_ino) {
        reason = Quoted(std::string(path.Data(), static_cast<size_t>(path.Length()))) +
                 " was replaced while it was read";
        return false;
    }
    return true;
}

bool ScriptMayRun(const String& script, const String& tmpdir, String& reason) {
    if (!IsTrustedPath(script, TrustedKind::File, geteuid(), reason)) return false;
    // A temporary folder that is missing fails later, as it always has, when the output file
    // cannot be made in it.
    bool absent = false;
    if (tmpdir.Length() == 0 ||
        Walk(tmpdir, TrustedKind::Folder, geteuid(), reason, nullptr, absent))
        return true;
    if (absent) reason = "";
    return absent;
}
