// What a script leaves in its output file, read by the process, CPU, process-list and
// shell-script tests. Input: a byte giving the shell script's line budget, then the file content.
// Every reader must stay within its bounds whatever the script wrote.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "handlers/script_output.h"

namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

// The content as a stream that the readers take like the real output file.
FILE* Open(const uint8_t* data, size_t size) {
    static char empty[1];
    return size == 0 ? fmemopen(empty, 1, "r") : fmemopen(const_cast<uint8_t*>(data), size, "r");
}

std::string_view View(const String& text) {
    return text.Data() == nullptr
               ? std::string_view()
               : std::string_view(text.Data(), static_cast<size_t>(text.Length()));
}

// Splits `text` at every CR LF; false when a piece is empty, too long or holds a line break, or
// when the text does not end with CR LF.
bool CountEntries(std::string_view text, int& entries) {
    entries = 0;
    while (!text.empty()) {
        size_t close = text.find("\r\n");
        if (close == std::string_view::npos || close == 0 || close > 511) return false;
        if (text.substr(0, close).find('\n') != std::string_view::npos) return false;
        text.remove_prefix(close + 2);
        entries++;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 16)) return 0;
    const int budget = static_cast<int8_t>(data[0]);
    data++;
    size--;

    if (FILE* file = Open(data, size)) {
        int count = 0;
        ReadLeadingInt(file, count);
        std::fclose(file);
    }
    if (FILE* file = Open(data, size)) {
        float usage = 0;
        ReadLeadingReal(file, usage);
        std::fclose(file);
    }
    if (FILE* file = Open(data, size)) {
        // Entries of at most 511 bytes, each closed by CR LF.
        String list = ReadProcessList(file);
        std::fclose(file);
        int entries = 0;
        Require(CountEntries(View(list), entries));
        Require(list.Length() <= kMaxScriptText + 513);
    }
    if (FILE* file = Open(data, size)) {
        String result, output;
        ReadScriptResult(file, budget, result, output);
        std::fclose(file);
        // The result is one trimmed piece; the output holds at most `budget` pieces.
        Require(View(result).find('\n') == std::string_view::npos && result.Length() <= 511);
        int pieces = 0;
        Require(CountEntries(View(output), pieces));
        Require(pieces <= (budget > 0 ? budget : 0));
        Require(output.Length() <= kMaxScriptText + 513);
    }
    return 0;
}
