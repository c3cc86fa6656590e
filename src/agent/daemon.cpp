#include "agent/daemon.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "agent/signals.h"
#include "config/messages.h"
#include "config/settings.h"

namespace {

// The path the PID file was created under: a reload may change "pidfile" meanwhile.
String pidfilePath;
// The daemon's end of the pipe its starting parent waits on; -1 once it has reported.
int readyPipe = -1;

void RedirectStream(int fd, int flags) {
    int null = open("/dev/null", flags);
    if (null < 0) return;
    if (null != fd) {
        dup2(null, fd);
        close(null);
    }
}

// The parent lingers until the daemon has written its PID file (or has ended): a service manager
// that reads the PID file when the parent exits finds the daemon in it, also when the parent is a
// restarted agent whose process id the file named until then.
[[noreturn]] void EndParent(int ready) {
    std::puts("Daemon started");
    std::fflush(stdout);
    char byte;
    while (read(ready, &byte, 1) < 0 && errno == EINTR) {
    }
    std::exit(0);
}

// The PID file's folder, when it is missing and its parent is not: /run/qdx after a reboot where
// no service manager makes it. One level only, readable by all as the file itself is.
void MakeFolderOf(const String& path) {
    int slash = path.Length();
    while (slash > 0 && path[slash] != '/') slash--;
    if (slash <= 1) return;
    String folder = path.Copy(1, slash - 1);
    // An existing folder is the usual case; any other failure shows when the file is created.
    mkdir(folder.SetZero().Data(), 0755);
}

// True when the PID file's path still names the file open as `fd` and that file still holds this
// process's id: a file that replaced ours, or that another agent rewrote, is not ours to remove.
bool NamesThisProcess(int fd) {
    struct stat held {};
    struct stat named {};
    if (fstat(fd, &held) != 0 || lstat(pidfilePath.Data(), &named) != 0) return false;
    if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) return false;
    char text[32] = {};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return false;
    char* end = nullptr;
    long pid = std::strtol(text, &end, 10);
    return end != text && (*end == '\n' || *end == '\0') && pid == static_cast<long>(getpid());
}

}  // namespace

int daemon_init() {
    std::fflush(nullptr);
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid < 0) {
        close(ready[0]);
        close(ready[1]);
        return -1;
    }
    if (pid > 0) {
        close(ready[1]);
        EndParent(ready[0]);
    }
    close(ready[0]);
    readyPipe = ready[1];
    setsid();
    RedirectStream(STDIN_FILENO, O_RDONLY);
    RedirectStream(STDOUT_FILENO, O_WRONLY);
    RedirectStream(STDERR_FILENO, O_WRONLY);
    InstallReloadHandler();
    return 0;
}

int createpidfile() {
    SettingsSnapshot settings = CurrentSettings();
    String path(settings->pidfile);
    path.SetZero();
    MakeFolderOf(path);
    // Never through a link: whoever could plant one would have root write where they chose.
    int fd = open(path.Data(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0644);
    if (fd < 0) {
        showmessage("Failed to create pid file %s\n", LOCAL, msgFail, 1, path.Data());
        return -1;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (fcntl(fd, F_SETLK, &lock) != 0) {
        showmessage("Failed to lock pid file %s\n", LOCAL, msgFail, 1, path.Data());
        close(fd);
        return -1;
    }
    // Written over the old content, then cut to length: a reader never finds the file empty.
    char text[32];
    int n = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    if (pwrite(fd, text, static_cast<size_t>(n), 0) != n || ftruncate(fd, n) != 0) {
        showmessage("Failed to create pid file %s\n", LOCAL, msgFail, 1, path.Data());
        close(fd);
        return -1;
    }
    pidfilePath = path;
    return fd;
}

void daemon_ready() {
    if (readyPipe < 0) return;
    char byte = 1;
    ssize_t ignored = write(readyPipe, &byte, 1);
    (void)ignored;
    close(readyPipe);
    readyPipe = -1;
}

void closepidfile(int pidfile) {
    if (pidfile < 0) return;
    // Removed while the lock is still held, so that an agent starting meanwhile keeps its file.
    if (NamesThisProcess(pidfile)) unlink(pidfilePath.Data());
    close(pidfile);
}

void releasepidfile(int pidfile) {
    if (pidfile >= 0) close(pidfile);
}
