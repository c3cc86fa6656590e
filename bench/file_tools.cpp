// Helpers for the file benchmarks of bench/run: fixtures, the zlib reference checksum, and timing
// two commands against each other in alternation so that both see the same machine.
//
//   qdx_filetools tree DIR FOLDERS FILES
//                                     make FOLDERS folders (groups of 100: a folder and 99 inside
//                                     it) holding FILES files each, sparse, of 0 to 4095 bytes;
//                                     print the files' bytes
//   qdx_filetools readblocks PATH     read PATH (cached) with read() in blocks of 64 KiB to 4 MiB
//                                     and print MB/s for each size, best of 5
//   qdx_filetools bigfile PATH MIB    write MIB MiB of pseudo-random bytes
//   qdx_filetools zlibcrc PATH        zlib's crc32 over PATH in 1 MiB blocks, printed as the
//                                     agent's register (not inverted)
//   qdx_filetools compare N A... -- B...
//                                     run A and B alternately N times each (output discarded);
//                                     print the median seconds of A and of B
//   qdx_filetools names DIR COUNT LENGTH
//                                     make COUNT empty files with names of LENGTH bytes
//   qdx_filetools peak CMD...         run CMD once (output discarded); print its seconds, peak
//                                     resident KiB and processor seconds (user + system)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// Files get their sizes from ftruncate, so a tree of a million files needs no data blocks and is
// made in seconds; two threads make half the groups each.
int Tree(const std::string& top, long folders, long files) {
    if (mkdir(top.c_str(), 0755) != 0 || folders < 1 || files < 0) return 1;
    const long groups = (folders + 99) / 100;
    std::atomic<unsigned long long> total{0};
    std::atomic<bool> failed{false};
    auto make = [&](long first, long step) {
        unsigned long long bytes = 0;
        for (long g = first; g < groups && !failed; g += step) {
            std::string group = top + "/g" + std::to_string(g);
            for (long f = 0; f < 100 && g * 100 + f < folders; f++) {
                std::string folder = f == 0 ? group : group + "/f" + std::to_string(f);
                int dir = mkdir(folder.c_str(), 0755) == 0
                              ? open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                              : -1;
                if (dir < 0) {
                    failed = true;
                    return;
                }
                for (long i = 0; i < files; i++) {
                    std::string name = "file" + std::to_string(i) + ".dat";
                    off_t size = static_cast<off_t>((g * 7919 + f * 104729 + i * 1299709) % 4096);
                    int fd = openat(dir, name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
                    if (fd < 0 || ftruncate(fd, size) != 0) failed = true;
                    if (fd >= 0) close(fd);
                    bytes += static_cast<unsigned long long>(size);
                }
                close(dir);
            }
        }
        total += bytes;
    };
    std::thread other(make, 1, 2);
    make(0, 2);
    other.join();
    if (failed) return 1;
    std::printf("%llu\n", total.load());
    return 0;
}

// Throughput of read() over a cached file by block size: the cost the checksum's reading adds.
int ReadBlocks(const std::string& path) {
    for (size_t block = 64 << 10; block <= (4u << 20); block *= 2) {
        std::vector<char> buffer(block);
        double best = 0;
        for (int round = 0; round < 5; round++) {
            int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) return 1;
            auto start = std::chrono::steady_clock::now();
            unsigned long long bytes = 0;
            ssize_t n;
            while ((n = read(fd, buffer.data(), block)) > 0) bytes += static_cast<size_t>(n);
            std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            close(fd);
            best = std::max(best, static_cast<double>(bytes) / took.count() / 1e6);
        }
        std::printf("%zu KiB: %.0f MB/s\n", block >> 10, best);
    }
    return 0;
}

int BigFile(const std::string& path, long mib) {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 1;
    std::vector<unsigned long long> block(1 << 17);  // 1 MiB
    std::mt19937_64 rng(7);
    for (long m = 0; m < mib; m++) {
        for (auto& word : block) word = rng();
        if (write(fd, block.data(), 1 << 20) != (1 << 20)) return 1;
    }
    return close(fd) == 0 ? 0 : 1;
}

int ZlibCrc(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    std::vector<unsigned char> block(1 << 20);
    uLong crc = crc32(0, nullptr, 0);
    ssize_t n;
    while ((n = read(fd, block.data(), block.size())) > 0)
        crc = crc32(crc, block.data(), static_cast<uInt>(n));
    close(fd);
    if (n < 0) return 1;
    std::printf("%lu\n", ~crc & 0xFFFFFFFFul);
    return 0;
}

double RunQuietly(const std::vector<char*>& argv) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    auto start = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::exit(1);
    int status = 0;
    waitpid(pid, &status, 0);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "qdx_filetools: %s failed\n", argv[0]);
        std::exit(1);
    }
    return took.count();
}

int Names(const std::string& dir, long count, long length) {
    if (mkdir(dir.c_str(), 0755) != 0 || count < 0 || length < 8) return 1;
    for (long i = 0; i < count; i++) {
        std::string number = std::to_string(i);
        std::string name = std::string(static_cast<size_t>(length) - number.size(), 'n') + number;
        int fd = open((dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) return 1;
        close(fd);
    }
    return 0;
}

int Peak(std::vector<char*> argv) {
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    auto start = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return 1;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    posix_spawn_file_actions_destroy(&actions);
    double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%.3f %ld %.3f\n", took.count(), usage.ru_maxrss, cpu);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int Compare(int rounds, std::vector<char*> a, std::vector<char*> b) {
    a.push_back(nullptr);
    b.push_back(nullptr);
    RunQuietly(a);  // warm the caches for both
    RunQuietly(b);
    std::vector<double> ta, tb;
    for (int i = 0; i < rounds; i++) {
        ta.push_back(RunQuietly(a));
        tb.push_back(RunQuietly(b));
    }
    std::printf("%.6f %.6f\n", Median(ta), Median(tb));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string what = argc > 1 ? argv[1] : "";
    if (what == "tree" && argc == 5) return Tree(argv[2], std::atol(argv[3]), std::atol(argv[4]));
    if (what == "readblocks" && argc == 3) return ReadBlocks(argv[2]);
    if (what == "bigfile" && argc == 4) return BigFile(argv[2], std::atol(argv[3]));
    if (what == "zlibcrc" && argc == 3) return ZlibCrc(argv[2]);
    if (what == "names" && argc == 5) return Names(argv[2], std::atol(argv[3]), std::atol(argv[4]));
    if (what == "peak" && argc > 2) return Peak(std::vector<char*>(argv + 2, argv + argc));
    if (what == "compare" && argc > 5) {
        std::vector<char*> a, b;
        bool second = false;
        for (int i = 3; i < argc; i++) {
            if (!second && std::strcmp(argv[i], "--") == 0)
                second = true;
            else
                (second ? b : a).push_back(argv[i]);
        }
        if (!a.empty() && !b.empty()) return Compare(std::atoi(argv[2]), a, b);
    }
    std::fputs("usage: see the comment at the top of bench/file_tools.cpp\n", stderr);
    return 64;
}
