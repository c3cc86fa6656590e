#include "hanging_mount.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "harness.h"

#ifndef QDX_HANGING_FS
#define QDX_HANGING_FS ""
#endif

namespace {

// The mount point as mountinfo writes it (blanks and the like as octal escapes).
std::string Escaped(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char code[5];
            snprintf(code, sizeof code, "\\%03o", static_cast<unsigned char>(c));
            out += code;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

bool IsMountPoint(const std::string& point) {
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    const std::string field = " " + Escaped(point) + " ";
    while (std::getline(table, line))
        if (line.find(field) != std::string::npos) return true;
    return false;
}

int ThreadCount(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return -1;
}

HangingMount::HangingMount(const std::string& point, const char* mode) : point_(point) {
    if (std::string(QDX_HANGING_FS).empty()) {
        why_ = "the test file system was not built (libfuse3 missing)";
        return;
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        why_ = "/dev/fuse is not available here";
        return;
    }
    int release[2];
    if (pipe2(release, O_CLOEXEC) != 0) {
        why_ = "no pipe";
        return;
    }
    std::string program = QDX_HANGING_FS, modeText = mode, fd = "3";
    char* argv[] = {program.data(), point_.data(), modeText.data(), fd.data(), nullptr};
    pid_ = fork();
    if (pid_ == 0) {
        // Should the test process be killed, the file system ends (and unmounts itself) with it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The read end as descriptor 3, the only one the file system keeps.
        dup2(release[0], 3);
        fcntl(3, F_SETFD, 0);  // dup2 leaves close-on-exec on when the pipe was 3 already
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        execv(argv[0], argv);
        _exit(127);
    }
    close(release[0]);
    releaseWriter_ = release[1];
    if (pid_ < 0) {
        why_ = "fork failed";
        return;
    }
    ready_ = WaitUntil(
        [&] {
            int status;
            return IsMountPoint(point) || waitpid(pid_, &status, WNOHANG) == pid_;
        },
        10);
    ready_ = ready_ && IsMountPoint(point);
    if (!ready_) why_ = "the FUSE mount was refused";
}

bool HangingMount::BindTo(const std::string& folder) {
    if (mount(point_.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
    binds_.push_back(folder);
    return true;
}

void HangingMount::Release() {
    if (releaseWriter_ >= 0) close(releaseWriter_);
    releaseWriter_ = -1;
}

HangingMount::~HangingMount() {
    Release();
    for (const std::string& bind : binds_) umount2(bind.c_str(), MNT_DETACH);
    if (pid_ > 0) {
        RunProgram("/usr/bin/fusermount3", {"-u", "-z", point_}, 10);
        umount2(point_.c_str(), MNT_DETACH);  // when fusermount3 is not there
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}
