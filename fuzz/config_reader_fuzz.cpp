// Configuration files: any bytes, NUL bytes and endless lines included, must load or be refused
// without reading outside a line.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "config/options.h"
#include "config/settings.h"
#include "scratch_folder.h"

namespace {

ScratchFile file;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    file = MakeScratchFile("qdxcfgfuzz");
    if (file.path.size() >= sizeof TQDXSettings::cfgfile) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    file.Rewrite(data, size);
    TQDXSettings settings;
    std::strcpy(settings.cfgfile, file.path.c_str());
    String message;
    LoadOptions_(settings, message);
    return 0;
}
