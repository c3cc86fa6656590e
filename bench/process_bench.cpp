// Starting a program and waiting for its end: SystemEx as the external-program test uses it (with
// its look-up along PATH), and as reference posix_spawn plus waitpid of the same program file in
// the same run.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fileutils/process.h"

extern char** environ;

namespace {

// The reference: nothing but posix_spawn and waitpid, with the program's path found beforehand.
void BM_SpawnTrueDirect(benchmark::State& state) {
    char* argv[] = {const_cast<char*>("true"), nullptr};
    const char* path = access("/usr/bin/true", X_OK) == 0 ? "/usr/bin/true" : "/bin/true";
    for (auto _ : state) {
        pid_t pid;
        if (posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
        int status = 0;
        waitpid(pid, &status, 0);
    }
}
BENCHMARK(BM_SpawnTrueDirect)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SystemExTrue(benchmark::State& state) {
    for (auto _ : state) {
        int exitcode = -1;
        String message;
        if (SystemEx("true", nullptr, 5000, exitcode, message) != 1) {
            state.SkipWithError("SystemEx failed");
            break;
        }
    }
}
BENCHMARK(BM_SystemExTrue)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
