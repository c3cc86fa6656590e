// Text-log scans over 256 MiB of newly appended log lines (about 100 bytes each, one match in
// 50000 lines), with `grep -c -F` on the same file as reference. Everything is timed on the wall
// clock, since grep's work happens in a child process.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "handlers/textlog_scan.h"

extern char** environ;

namespace {

constexpr int64_t kLogBytes = int64_t(256) << 20;

// The log, written once per run into TMPDIR and removed at exit.
const std::string& LogPath() {
    static const std::string path = [] {
        const char* folder = std::getenv("TMPDIR");
        std::string name = std::string(folder && *folder ? folder : "/tmp") + "/qdxlog.XXXXXX";
        int fd = mkstemp(name.data());
        if (fd < 0) std::abort();
        static std::string remove = name;
        std::atexit([] { unlink(remove.c_str()); });

        const char* words[] = {"info",  "debug", "request", "served", "user",    "session",
                               "cache", "miss",  "hit",     "closed", "opened",  "worker",
                               "queue", "bytes", "status",  "ok",     "latency", "thread"};
        std::mt19937 rng(1);
        std::string chunk;
        int64_t written = 0;
        for (int64_t n = 0; written < kLogBytes; n++) {
            char stamp[64];
            std::snprintf(stamp, sizeof stamp,
                          "2024-05-01 12:%02d:%02d host app[%d]:", int(n / 60 % 60), int(n % 60),
                          int(n % 9999));
            std::string line = stamp;
            while (line.size() < 99) {
                line += ' ';
                line += words[rng() % (sizeof words / sizeof *words)];
            }
            line.resize(99);
            if (n % 50000 == 49999) line.replace(60, 26, " FATAL disk full on /var ");
            line += '\n';
            chunk += line;
            if (chunk.size() >= (1u << 20) || written + int64_t(chunk.size()) >= kLogBytes) {
                if (write(fd, chunk.data(), chunk.size()) != ssize_t(chunk.size())) std::abort();
                written += int64_t(chunk.size());
                chunk.clear();
            }
        }
        close(fd);
        return name;
    }();
    return path;
}

// One TEST-TextLog scan of the whole log, as after a check that marked its start: every line is
// new, and scanning to the end visits all of them.
void ScanWholeLog(benchmark::State& state, const char* text, int useExpression, int caseSensitive) {
    const std::string& path = LogPath();
    for (auto _ : state) {
        double position = 0, lastSize = 1, lastTime = 1, fileSize = 0;
        String line, message;
        double value =
            CheckFileForExpression(path.c_str(), text, position, lastSize, lastTime, useExpression,
                                   1, caseSensitive, 0, line, message, fileSize);
        if (value <= 0 || position < double(kLogBytes) - 100) state.SkipWithError("no match");
    }
    state.SetBytesProcessed(state.iterations() * kLogBytes);
}

void BM_TextLogCaseSensitive(benchmark::State& state) {
    ScanWholeLog(state, "FATAL disk", 0, 1);
}
BENCHMARK(BM_TextLogCaseSensitive)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TextLogCaseInsensitive(benchmark::State& state) {
    ScanWholeLog(state, "fatal DISK", 0, 0);
}
BENCHMARK(BM_TextLogCaseInsensitive)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TextLogExpression(benchmark::State& state) {
    ScanWholeLog(state, "('FATAL' or 'panic') and not 'debug'", 1, 1);
}
BENCHMARK(BM_TextLogExpression)->Unit(benchmark::kMillisecond)->UseRealTime();

// The reference: grep counting the lines with the fixed string, in the C locale. Its output goes
// to a pipe: with output to /dev/null grep would stop at the first match.
void BM_GrepCountFixed(benchmark::State& state) {
    const std::string& path = LogPath();
    char* argv[] = {const_cast<char*>("grep"),       const_cast<char*>("-c"),
                    const_cast<char*>("-F"),         const_cast<char*>("FATAL disk"),
                    const_cast<char*>(path.c_str()), nullptr};
    char* env[] = {const_cast<char*>("LC_ALL=C"), nullptr};
    for (auto _ : state) {
        int out[2];
        if (pipe(out) != 0) std::abort();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, out[1]);
        pid_t child;
        int spawned = posix_spawnp(&child, "grep", &actions, nullptr, argv, env);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        std::string count;
        char buffer[64];
        for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) count.append(buffer, n);
        close(out[0]);
        if (spawned != 0) {
            state.SkipWithError("grep cannot be started");
            break;
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || std::atoi(count.c_str()) < 1)
            state.SkipWithError("grep found nothing");
    }
    state.SetBytesProcessed(state.iterations() * kLogBytes);
}
BENCHMARK(BM_GrepCountFixed)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
