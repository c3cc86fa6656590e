// Starting a program and waiting for its end: SystemEx as the external-program test uses it,
// and as reference posix_spawn plus waitpid of the same program in the same run.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include "fileutils/process.h"

extern char** environ;

namespace {

void BM_SpawnTrueDirect(benchmark::State& state) {
    char* argv[] = {const_cast<char*>("true"), nullptr};
    for (auto _ : state) {
        pid_t pid;
        if (posix_spawnp(&pid, "true", nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("posix_spawnp failed");
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
