#include "agent/flags.h"

#include <unistd.h>

#include <cstdio>

TQDXFlags QDXFlags;
std::mutex thread_mutex;

void EndProcess(int code) {
    std::fflush(nullptr);
    _exit(code);
}
