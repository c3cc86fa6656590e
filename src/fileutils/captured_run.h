// Running a program while its standard output and error are collected in memory, bounded: the
// output goes through a pipe, never a file, so a program that writes without end fills neither a
// disk nor the agent's memory, and nothing is left behind on any path.
#pragma once

#include <string>

#include "fileutils/process.h"

// What RunCapturing collected.
struct CapturedOutput {
    std::string text;  // the first `limit` bytes the program wrote to standard output and error
    bool cut = false;  // it wrote more than that (the rest was read and dropped)
};

// RunProgram (same wait modes, but kStartOnly is not allowed) with standard input "/dev/null"
// and standard output and error both going into `output`. Bytes beyond `limit` are read and
// dropped, so the program never blocks on a full pipe. Reading stops when the program has ended:
// what a descendant that outlives it writes later is not waited for.
ChildEnd RunCapturing(char* const argv[], const TChildSetup& setup, int timeout, size_t limit,
                      int& exitcode, CapturedOutput& output, String& message);
