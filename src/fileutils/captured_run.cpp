#include "fileutils/captured_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The reading side: drains `data` into `output` until `stop` becomes readable, then takes what
// the pipe still holds and ends.
struct PipeReader {
    int data = -1;
    int stop = -1;
    size_t limit = 0;
    CapturedOutput* output = nullptr;

    // Reads what is there now; false at the end of the pipe or on an error.
    bool Drain() {
        char buffer[16384];
        while (true) {
            ssize_t got = read(data, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
            if (got == 0) return false;
            size_t room = output->text.size() < limit ? limit - output->text.size() : 0;
            size_t keep = static_cast<size_t>(got) < room ? static_cast<size_t>(got) : room;
            output->text.append(buffer, keep);
            if (keep < static_cast<size_t>(got)) output->cut = true;
        }
    }

    void Run() {
        pollfd fds[2] = {{data, POLLIN, 0}, {stop, POLLIN, 0}};
        while (true) {
            int ready = poll(fds, 2, -1);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return;
            if (fds[0].revents != 0 && !Drain()) return;
            if (fds[1].revents != 0) {
                Drain();
                return;
            }
        }
    }

    static void* Main(void* self) {
        static_cast<PipeReader*>(self)->Run();
        return nullptr;
    }
};

struct Descriptor {
    int fd = -1;
    ~Descriptor() { Close(); }
    void Close() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

}  // namespace

ChildEnd RunCapturing(char* const argv[], const TChildSetup& setup, int timeout, size_t limit,
                      int& exitcode, CapturedOutput& output, String& message) {
    output = CapturedOutput{};
    message = "";
    if (timeout == kStartOnly) {
        message = "exec error: output cannot be collected in start-only mode";
        return ChildEnd::NotStarted;
    }
    int ends[2], stops[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        message = "fork error";
        return ChildEnd::NotStarted;
    }
    Descriptor readEnd{ends[0]}, writeEnd{ends[1]};
    if (pipe2(stops, O_CLOEXEC) != 0) {
        message = "fork error";
        return ChildEnd::NotStarted;
    }
    Descriptor stopRead{stops[0]}, stopWrite{stops[1]};
    fcntl(readEnd.fd, F_SETFL, fcntl(readEnd.fd, F_GETFL) | O_NONBLOCK);

    PipeReader reader{readEnd.fd, stopRead.fd, limit, &output};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, PipeReader::Main, &reader) != 0) {
        message = "fork error";
        return ChildEnd::NotStarted;
    }
    TChildSetup child = setup;
    child.in = -1;
    child.out = child.err = writeEnd.fd;
    ChildEnd end = RunProgram(argv, child, timeout, exitcode, message);
    writeEnd.Close();
    char one = 1;
    while (write(stopWrite.fd, &one, 1) < 0 && errno == EINTR) {
    }
    pthread_join(thread, nullptr);
    return end;
}
