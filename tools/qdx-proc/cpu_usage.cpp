// The CPU figure: processor times sampled twice, the busy share of the ticks between the samples.
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "modes.h"
#include "platform/cpu_time.h"

namespace {

constexpr double kDefaultSeconds = 0.5;
constexpr double kLongestSeconds = 60;

int CannotRead(int error) {
    std::fprintf(stderr, "qdx-proc: cannot read the processor times: %s\n", std::strerror(error));
    return 1;
}

// The interval in `seconds`; false unless `text` is a number above 0 and at most the longest.
bool ParseSeconds(const char* text, double& seconds) {
    char* end = nullptr;
    errno = 0;
    seconds = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0 && std::isfinite(seconds) && seconds > 0 &&
           seconds <= kLongestSeconds;
}

void Pause(double seconds) {
    timespec left;
    left.tv_sec = static_cast<time_t>(seconds);
    left.tv_nsec = static_cast<long>((seconds - static_cast<double>(left.tv_sec)) * 1e9);
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Percent of the ticks between two samples that were not idle, 0 to 100. Counters that stood
// still or went back (processors taken off line) give 0.
double BusyPercent(const TCpuTimes& first, const TCpuTimes& second) {
    if (second.total <= first.total) return 0;
    double total = static_cast<double>(second.total - first.total);
    double idle = second.idle > first.idle ? static_cast<double>(second.idle - first.idle) : 0;
    double busy = 100 * (total - idle) / total;
    return busy < 0 ? 0 : busy > 100 ? 100 : busy;
}

}  // namespace

int MeasureCpuUsage(int argc, char** argv) {
    double seconds = kDefaultSeconds;
    if (argc > 1 || (argc == 1 && !ParseSeconds(argv[0], seconds))) {
        std::fputs("usage: qdx-proc cpu [SECONDS]   (above 0, at most 60; 0.5 by default)\n",
                   stderr);
        return 2;
    }
    TCpuTimes first, second;
    if (int error = ReadCpuTimes(first); error != 0) return CannotRead(error);
    Pause(seconds);
    if (int error = ReadCpuTimes(second); error != 0) return CannotRead(error);
    std::printf("%.1f\n", BusyPercent(first, second));
    return FinishOutput(0);
}
