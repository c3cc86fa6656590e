// Command lines from requests (TEST-ExternalPrg, the start command of TEST-ShellScript), split
// into arguments without a shell. Input: the command line, read up to its first NUL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fileutils/process.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    std::string line(reinterpret_cast<const char*>(data), size);
    TCommandArgs args;
    int argc = SplitCommandLine(line.c_str(), args);
    // Every argument lies inside the text area with its terminator, in order, without overlap.
    if (argc < 0 || argc > kMaxArguments || args.argv[argc] != nullptr) std::abort();
    const char* end = args.text;
    for (int i = 0; i < argc; i++) {
        const char* arg = args.argv[i];
        if (arg < end || arg >= args.text + kArgumentTextSize) std::abort();
        size_t length = strnlen(arg, static_cast<size_t>(args.text + kArgumentTextSize - arg));
        if (arg + length >= args.text + kArgumentTextSize) std::abort();
        if (std::strstr(line.c_str(), arg) == nullptr) std::abort();  // text of the line only
        end = arg + length + 1;
    }
    return 0;
}
