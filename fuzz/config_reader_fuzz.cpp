// Configuration files: any bytes, NUL bytes and endless lines included, must load or be refused
// without reading outside a line.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "config/options.h"
#include "config/settings.h"

namespace {

// One scratch file for the whole run, rewritten in place for every input.
char path[256];
int fd = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* folder = getenv("TMPDIR");
    if (folder == nullptr || std::strlen(folder) > 200) folder = "/tmp";
    std::strcpy(path, folder);
    std::strcat(path, "/qdxcfgfuzz.XXXXXX");
    fd = mkstemp(path);
    if (fd < 0) abort();
    atexit([] { unlink(path); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    if (pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) ||
        ftruncate(fd, static_cast<off_t>(size)) != 0)
        abort();
    TQDXSettings settings;
    std::strcpy(settings.cfgfile, path);
    String message;
    LoadOptions_(settings, message);
    return 0;
}
