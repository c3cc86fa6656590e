// Helpers shared by the file-system tests: a scratch folder with files whose times are set
// explicitly, and a way to run a check without root's privileges (CI runs as root).
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "foundation/string.h"

namespace filetest {

inline std::string Str(const String& s) {
    return s.Length() ? std::string(s.Data(), static_cast<size_t>(s.Length())) : std::string();
}

inline String S(const std::string& s) {
    return String(s.data(), static_cast<int>(s.size()));
}

// A fresh folder from mkdtemp, removed with everything in it (by rm, which copes with trees deeper
// than the descriptor limit). It is open to every user so that checks run as nobody can reach
// what the test prepares.
class TempDir {
public:
    // `base` must be open to every user, like /tmp.
    explicit TempDir(const std::string& base = "/tmp") {
        std::string pattern = base + "/qdx-files-XXXXXX";
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        path_ = pattern;
        chmod(path_.c_str(), 0755);
    }
    ~TempDir() {
        std::string command = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // The path of `name` inside the folder.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    // Writes a file (folders on the way must exist) and sets its modification time when given.
    std::string File(const std::string& name, const std::string& content = "",
                     time_t mtime = -1) const {
        std::string path = *this / name;
        int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
        EXPECT_GE(fd, 0) << path;
        if (fd >= 0) {
            EXPECT_EQ(write(fd, content.data(), content.size()),
                      static_cast<ssize_t>(content.size()));
            close(fd);
        }
        if (mtime != -1) SetTime(path, mtime);
        return path;
    }
    std::string Dir(const std::string& name, time_t mtime = -1) const {
        std::string path = *this / name;
        EXPECT_EQ(mkdir(path.c_str(), 0755), 0) << path;
        if (mtime != -1) SetTime(path, mtime);
        return path;
    }
    std::string Link(const std::string& name, const std::string& target, time_t mtime = -1) const {
        std::string path = *this / name;
        EXPECT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
        if (mtime != -1) {
            timespec times[2] = {{mtime, 0}, {mtime, 0}};
            EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
        }
        return path;
    }
    static void SetTime(const std::string& path, time_t mtime) {
        timespec times[2] = {{mtime, 0}, {mtime, 0}};
        EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    }

private:
    std::string path_;
};

// A folder in memory (/dev/shm) where the system offers one open to all, else /tmp: for trees and
// files that some disks are slow to make, remove or read.
inline std::string MemoryBase() {
    struct stat st;
    return stat("/dev/shm", &st) == 0 && (st.st_mode & 01777) == 01777 ? "/dev/shm" : "/tmp";
}

// Makes a chain of `levels` folders named "d", each inside the one before, below `top`, by
// descriptor (the path may grow past what a path can name). Returns a descriptor of the deepest
// folder for the caller to close, or -1.
inline int MakeFolderChain(const std::string& top, int levels) {
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < levels && fd >= 0; i++) {
        int next =
            mkdirat(fd, "d", 0755) == 0 ? openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        close(fd);
        fd = next;
    }
    return fd;
}

// Runs `check` in a child process, as the user nobody when we are root, and returns what it
// returned (its exit status), or -1 when the child did not end normally.
inline int RunAsNobody(const std::function<int()>& check) {
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (nobody == nullptr || setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
                setuid(nobody->pw_uid) != 0)
                _exit(125);
        }
        _exit(check());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Runs `check` in a child process with our privileges (for a change of working directory).
inline int RunInChild(const std::function<int()>& check) {
    pid_t pid = fork();
    if (pid == 0) _exit(check());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// The 14-digit local time DDMMYYYYhhmmss of a reply.
inline std::string LocalStamp(time_t t) {
    tm local{};
    localtime_r(&t, &local);
    char text[32];
    strftime(text, sizeof text, "%d%m%Y%H%M%S", &local);
    return text;
}

inline std::string Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const std::string& n : names) joined += (joined.empty() ? "" : " ") + n;
    return joined;
}

}  // namespace filetest
