#include "agent/daemon.h"

#include <fcntl.h>
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
    int fd = open(path.Data(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
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
    close(pidfile);
    unlink(pidfilePath.Data());
}

void releasepidfile(int pidfile) {
    if (pidfile >= 0) close(pidfile);
}
