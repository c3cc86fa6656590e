// Text-log scans over any file content: the block scanner, with small buffers taken from the
// input (so that lines stream through in pieces), must agree with the plain byte-by-byte reading
// of whole lines, and a whole check must neither fail nor read outside its buffers.
// Blocks grow with the content so that a run makes about 64 reads at most.
// Input: a flag byte (bit 0 case-sensitive, bit 1 whole word, bit 2 expression, bit 3 scan to
// the end, bits 4-7 the start offset), a byte (bits 0-3 the read block - 1, bits 4-7 the line
// window - 1), a byte (the reported bytes), the search text, a NUL, then the file content.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "../tests/textlog_reference.h"
#include "handlers/textlog_scan.h"
#include "scratch_folder.h"

namespace {

ScratchFile file;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    file = MakeScratchFile("qdxlogfuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > 8192) return 0;
    textlogref::Filter filter;
    filter.caseSensitive = data[0] & 1;
    filter.wholeWord = (data[0] >> 1) & 1;
    filter.isExpression = (data[0] >> 2) & 1;
    bool scanToEnd = (data[0] >> 3) & 1;
    LogScanLimits limits{static_cast<size_t>((data[1] & 15) + 1),
                         static_cast<size_t>((data[1] >> 4) + 1), data[2]};
    const char* text = reinterpret_cast<const char*>(data + 3);
    size_t rest = size - 3;
    const void* nul = std::memchr(text, '\0', rest);
    size_t textLength = nul != nullptr ? static_cast<const char*>(nul) - text : rest;
    filter.text.assign(text, textLength);
    std::string content;
    if (textLength < rest) content.assign(text + textLength + 1, rest - textLength - 1);
    int64_t start = std::min<int64_t>(data[0] >> 4, static_cast<int64_t>(content.size()));

    // Each block is a read: at most about 64 of them, so long inputs do not starve the fuzzer.
    limits.readBlock = std::max(limits.readBlock, content.size() / 64);
    file.Rewrite(content.data(), content.size());
    if (lseek(file.fd, start, SEEK_SET) != start) abort();
    String search(filter.text.data(), static_cast<int>(filter.text.size()));
    LogLineFilter matcher(search, filter.isExpression, filter.caseSensitive, filter.wholeWord);
    LogLineFilter* filters[] = {&matcher};
    LogScanResult got;
    got.position = start;
    ScanLogLines(file.fd, static_cast<int64_t>(content.size()), filters, scanToEnd, limits, got);
    textlogref::Result want =
        textlogref::Scan(content.substr(start), start, {filter}, scanToEnd, limits.reportBytes);
    if (got.position != want.position || got.matchValue != want.matchValue ||
        got.filter != want.filter ||
        std::string(got.line.Data() ? got.line.Data() : "", got.line.Length()) != want.line)
        abort();

    // The whole check with the real buffers, resuming at the start offset.
    double position = static_cast<double>(start), lastSize = 1, lastTime = 1, fileSize = 0;
    String line, message;
    double value = CheckFileForExpression(file.path.c_str(), search, position, lastSize, lastTime,
                                          filter.isExpression, scanToEnd, filter.caseSensitive,
                                          filter.wholeWord, line, message, fileSize);
    if (value < 0) abort();
    return 0;
}
