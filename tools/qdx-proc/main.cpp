// qdx-proc: the program the agent ships as its process-count, process-list and CPU-usage script.
// It reads the system's process table and processor times itself, where a shell script starts a
// shell, ps and awk for every request.
//
//   qdx-proc count NAME...   how many processes run under the command name NAME
//   qdx-proc list            the command name of every process, one a line, in process-ID order
//   qdx-proc cpu [SECONDS]   how busy all processors were over SECONDS (0.5), in percent
//
// A script setting names a file without arguments, so the program is also installed under the
// names qdx-proc-count, qdx-proc-list and qdx-proc-cpu (links to it), and then takes its mode from
// the name it was started under.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "modes.h"

namespace {

struct Mode {
    const char* name;
    int (*run)(int argc, char** argv);
};

const Mode kModes[] = {
    {"count", CountProcesses},
    {"list", ListProcesses},
    {"cpu", MeasureCpuUsage},
};

const Mode* FindMode(const char* name) {
    for (const Mode& mode : kModes)
        if (std::strcmp(mode.name, name) == 0) return &mode;
    return nullptr;
}

int Usage() {
    std::fputs(
        "usage: qdx-proc count NAME...   processes named NAME (or $QDX_PROCESS_NAME)\n"
        "       qdx-proc list            the name of every process, in process-ID order\n"
        "       qdx-proc cpu [SECONDS]   percent of processor time busy over SECONDS (0.5)\n"
        "Started as qdx-proc-count, qdx-proc-list or qdx-proc-cpu, it takes the mode from its "
        "name.\n",
        stderr);
    return 2;
}

}  // namespace

int FinishOutput(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "qdx-proc: cannot write the answer: %s\n", std::strerror(errno));
        return 1;
    }
    return status;
}

int main(int argc, char** argv) {
    if (argc < 1) return Usage();
    const char* program = std::strrchr(argv[0], '/');
    program = program != nullptr ? program + 1 : argv[0];
    const char kPrefix[] = "qdx-proc-";
    if (std::strncmp(program, kPrefix, sizeof kPrefix - 1) == 0) {
        const Mode* mode = FindMode(program + sizeof kPrefix - 1);
        if (mode == nullptr) return Usage();
        return mode->run(argc - 1, argv + 1);
    }
    const Mode* mode = argc >= 2 ? FindMode(argv[1]) : nullptr;
    if (mode == nullptr) return Usage();
    return mode->run(argc - 2, argv + 2);
}
