#include "agent/daemon.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "agent/signals.h"
#include "config/messages.h"
#include "config/settings.h"

namespace {

// The path the PID file was created under: a reload may change "pidfile" meanwhile.
String pidfilePath;

void RedirectStream(int fd, int flags) {
    int null = open("/dev/null", flags);
    if (null < 0) return;
    if (null != fd) {
        dup2(null, fd);
        close(null);
    }
}

}  // namespace

int daemon_init() {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid > 0) {
        std::puts("Daemon started");
        std::fflush(stdout);
        std::exit(0);
    }
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
    int fd = open(path.Data(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
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
    char text[32];
    int n = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0 || write(fd, text, static_cast<size_t>(n)) != n) {
        showmessage("Failed to create pid file %s\n", LOCAL, msgFail, 1, path.Data());
        close(fd);
        return -1;
    }
    pidfilePath = path;
    return fd;
}

void closepidfile(int pidfile) {
    if (pidfile < 0) return;
    close(pidfile);
    unlink(pidfilePath.Data());
}
