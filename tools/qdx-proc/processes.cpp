// The process count and the process list, over one walk of the process table each.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "modes.h"
#include "platform/process_table.h"

namespace {

int CannotRead(int error) {
    std::fprintf(stderr, "qdx-proc: cannot read the process table: %s\n", std::strerror(error));
    return 1;
}

// The arguments joined with single blanks, in a block the caller frees; null without memory.
char* Joined(int argc, char** argv) {
    size_t size = 1;
    for (int i = 0; i < argc; i++) size += std::strlen(argv[i]) + 1;
    char* text = static_cast<char*>(std::malloc(size));
    if (text == nullptr) return nullptr;
    char* end = text;
    for (int i = 0; i < argc; i++) {
        if (i > 0) *end++ = ' ';
        size_t length = std::strlen(argv[i]);
        std::memcpy(end, argv[i], length);
        end += length;
    }
    *end = '\0';
    return text;
}

struct Count {
    const char* name;
    size_t length;
    size_t limit;  // the kernel's longest command name
    pid_t self;
    unsigned long found = 0;
};

// A command name stands for the name counted when it is that name, or when the kernel cut a
// longer name to its limit and what it kept is the name's beginning.
void CountIfNamed(const TProcessEntry& entry, void* context) {
    Count& count = *static_cast<Count*>(context);
    if (entry.pid == count.self) return;
    bool whole = entry.length == count.length;
    bool cut = count.length > count.limit && entry.length == count.limit;
    if ((whole || cut) && std::memcmp(entry.name, count.name, entry.length) == 0) count.found++;
}

struct List {
    FILE* out;
    pid_t self;
};

// Each name on a line of its own: a control byte (a line feed a process gave itself, say) shows as
// '?', so one process is always one line.
void PrintName(const TProcessEntry& entry, void* context) {
    List& list = *static_cast<List*>(context);
    if (entry.pid == list.self) return;
    for (size_t i = 0; i < entry.length; i++) {
        unsigned char c = static_cast<unsigned char>(entry.name[i]);
        std::putc(c < 0x20 || c == 0x7f ? '?' : c, list.out);
    }
    std::putc('\n', list.out);
}

}  // namespace

int CountProcesses(int argc, char** argv) {
    // The variable carries a request's name exactly, blanks and tabs included; the arguments stand
    // for it when a shell has split the name into words.
    const char* name = std::getenv("QDX_PROCESS_NAME");
    char* joined = name == nullptr ? Joined(argc, argv) : nullptr;
    if (name == nullptr) name = joined;
    if (name == nullptr) return CannotRead(ENOMEM);
    size_t length = std::strlen(name);
    if (length == 0) {
        std::free(joined);
        std::fputs("usage: qdx-proc count NAME... (or QDX_PROCESS_NAME=NAME qdx-proc count)\n",
                   stderr);
        return 2;
    }
    Count count{name, length, CommandNameLimit(), getpid()};
    int error = ForEachProcess(CountIfNamed, &count);
    std::free(joined);
    if (error != 0) return CannotRead(error);
    std::printf("%lu\n", count.found);
    return FinishOutput(0);
}

int ListProcesses(int argc, char**) {
    if (argc > 0) {
        std::fputs("usage: qdx-proc list\n", stderr);
        return 2;
    }
    // Gathered first, so that a walk that fails half-way prints its reason and no partial list.
    char* text = nullptr;
    size_t size = 0;
    List list{open_memstream(&text, &size), getpid()};
    if (list.out == nullptr) return CannotRead(errno);
    int error = ForEachProcess(PrintName, &list);
    if (std::fclose(list.out) != 0 && error == 0) error = errno;
    if (error == 0) std::fwrite(text, 1, size, stdout);
    std::free(text);
    if (error != 0) return CannotRead(error);
    return FinishOutput(0);
}
