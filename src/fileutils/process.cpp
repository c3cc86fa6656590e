// Command-line splitting and the path-based entry points; the fork, exec and wait live in
// child_process.cpp.
#include "fileutils/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Opens `path` (null: "/dev/null") for a standard stream; -1 with the reason in message.
int OpenStream(const char* path, bool output, String& message) {
    const char* target = path != nullptr ? path : "/dev/null";
    int flags = output ? O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW : O_RDONLY;
    int fd;
    do fd = open(target, flags | O_CLOEXEC | O_NOCTTY, 0600);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) message = String("cannot open ") + target + ": " + std::strerror(errno);
    return fd;
}

void CloseAll(const int (&fds)[3]) {
    for (int i = 0; i < 3; i++)
        if (fds[i] >= 0 && (i == 0 || fds[i] != fds[i - 1])) close(fds[i]);
}

}  // namespace

int SplitCommandLine(const char* line, TCommandArgs& args) {
    args.argc = 0;
    args.argv[0] = nullptr;
    if (line == nullptr) return 0;
    const char* p = line;
    int used = 0;  // bytes of args.text taken
    while (*p != '\0' && args.argc < kMaxArguments) {
        if (IsBlank(*p)) {
            p++;
            continue;
        }
        const char* start;
        const char* end;
        if (*p == '\'' || *p == '"') {
            const char quote = *p++;
            start = p;
            while (*p != '\0' && *p != quote) p++;
            end = p;
            if (*p == quote) p++;
        } else {
            start = p;
            while (*p != '\0' && !IsBlank(*p)) p++;
            end = p;
            if (*p != '\0') p++;
        }
        const int length = static_cast<int>(end - start);
        if (length + 1 > kArgumentTextSize - used) break;
        char* to = args.text + used;
        std::memcpy(to, start, static_cast<size_t>(length));
        to[length] = '\0';
        used += length + 1;
        args.argv[args.argc++] = to;
    }
    args.argv[args.argc] = nullptr;
    return args.argc;
}

ChildEnd RunCommandLine(const char* cmdline, const TChildSetup& setup, int timeout, int& exitcode,
                        String& message) {
    TCommandArgs args;
    if (SplitCommandLine(cmdline, args) == 0) {
        message = "exec error: empty command line";
        return ChildEnd::NotStarted;
    }
    return RunProgram(args.argv, setup, timeout, exitcode, message);
}

int SystemEx2(const char* cmdline, const char* workdir, const char* in, const char* out,
              const char* err, int timeout, int& exitcode, String& message, const char* tmpdir) {
    message = "";
    int fds[3] = {-1, -1, -1};
    fds[0] = OpenStream(in, false, message);
    if (fds[0] >= 0) fds[1] = OpenStream(out, true, message);
    // One descriptor for both output streams when they name the same file: separate ones would
    // each start at offset 0 and overwrite each other's text.
    const bool shared = out != nullptr && err != nullptr && std::strcmp(out, err) == 0;
    if (fds[1] >= 0) fds[2] = shared ? fds[1] : OpenStream(err, true, message);
    if (fds[2] < 0) {
        CloseAll(fds);
        return 0;
    }
    TChildSetup setup;
    setup.workdir = workdir;
    setup.in = fds[0];
    setup.out = fds[1];
    setup.err = fds[2];
    setup.tmpdir = tmpdir;
    ChildEnd end = RunCommandLine(cmdline, setup, timeout, exitcode, message);
    CloseAll(fds);
    return end == ChildEnd::Exited || end == ChildEnd::StillRunning ? 1 : 0;
}

int SystemEx(const char* cmdline, const char* workdir, int timeout, int& exitcode, String& message,
             const char* tmpdir) {
    return SystemEx2(cmdline, workdir, nullptr, nullptr, nullptr, timeout, exitcode, message,
                     tmpdir);
}
