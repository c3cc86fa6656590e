// Permission checks under CI, which runs as root: the check runs in a child process as the
// unprivileged user nobody and reports through its exit code.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace testing_support {

constexpr uid_t kNobody = 65534;

// The exit code of `check` run as nobody; 100 when the switch of user failed, -1 when the child
// did not exit normally.
inline int RunAsNobody(const std::function<int()>& check) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(100);
        _exit(check());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testing_support
