#include "handlers/file_content.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "fileutils/file_facts.h"
#include "fileutils/file_reader.h"
#include "foundation/crc32.h"
#include "handlers/word_finder.h"

namespace {

// Blocks read at once. Results do not depend on it: the comparison and the search carry what
// spans two blocks, and the checksum is the same over any split. The checksum reads with read()
// into 512 KiB: measured over a cached file, reading alone and reading with a pass over each
// block were fastest there (64 KiB to 4 MiB tried), the block still being in the processor's
// cache when the checksum runs over it.
constexpr size_t kCompareBlock = 64 * 1024;
constexpr size_t kSearchBlock = 64 * 1024;
constexpr size_t kChecksumBlock = 512 * 1024;

std::unique_ptr<char[]> Allocate(size_t size) {
    return std::unique_ptr<char[]>(new (std::nothrow) char[size]);
}

// Searches the stream of bytes read from `file` for `needle` (already lower-cased when the
// search ignores case). The window holds the last needle length + 1 bytes of the previous read and
// the next block. In whole-word mode the window's last byte is fed only with the next block, so
// that the byte after every occurrence found is known.
double SearchStream(TFileReader& file, const String& needle, bool caseSensitive, bool wholeWord) {
    const size_t length = static_cast<size_t>(needle.Length());
    const size_t carried = length + 1;
    const int64_t size = file.Size();
    size_t capacity = carried + std::max(2 * length, kSearchBlock);
    // A small file fits at once, with room for one more byte to tell that it ended.
    if (size >= 0 && static_cast<uint64_t>(size) + 1 < capacity)
        capacity = std::max(static_cast<size_t>(size) + 1, carried + 1);
    std::unique_ptr<char[]> buffer = Allocate(capacity);
    std::unique_ptr<TWordFinder> finder;
    if (wholeWord) finder = std::make_unique<TWordFinder>(needle.Data(), length);
    if (!buffer || (finder && !finder->Valid())) return -1;
    char* data = buffer.get();
    size_t held = 0;
    size_t fed = 0;   // bytes of the window the finder has seen
    int before = -1;  // the byte in front of the window; none at the start
    for (;;) {
        ssize_t got = file.ReadFull(data + held, capacity - held);
        if (got < 0) return -1;
        if (!caseSensitive) strlower(data + held, static_cast<int>(got));
        const bool atEnd = held + static_cast<size_t>(got) < capacity;
        held += static_cast<size_t>(got);
        if (finder) {
            const size_t to = atEnd ? held : held - 1;
            if (finder->Feed(data, fed, to, held, before)) return 1;
            fed = to;
        } else if (held >= length && memmem(data, held, needle.Data(), length) != nullptr) {
            return 1;
        }
        if (atEnd) return 0;
        before = static_cast<unsigned char>(data[held - carried - 1]);
        std::memmove(data, data + held - carried, carried);
        fed -= held - carried;
        held = carried;
    }
}

}  // namespace

int CompareFiles(const String& first, const String& second) {
    TFileReader a, b;
    if (!a.Open(first) || !b.Open(second)) return -1;
    std::unique_ptr<char[]> blockA = Allocate(kCompareBlock);
    std::unique_ptr<char[]> blockB = Allocate(kCompareBlock);
    if (!blockA || !blockB) return -1;
    for (;;) {
        ssize_t na = a.ReadFull(blockA.get(), kCompareBlock);
        ssize_t nb = b.ReadFull(blockB.get(), kCompareBlock);
        if (na < 0 || nb < 0) return -1;
        size_t common = static_cast<size_t>(na < nb ? na : nb);
        if (std::memcmp(blockA.get(), blockB.get(), common) != 0) return 0;
        if (static_cast<size_t>(na) < kCompareBlock || static_cast<size_t>(nb) < kCompareBlock)
            return 1;
    }
}

double FindStrInFile(const String& path, const String& what, int caseSensitive, int wholeWord) {
    if (what.Length() == 0 || path.Length() == 0) return -1;
    TFileReader file;
    if (!file.Open(path)) return -1;
    if (what.Length() > file.Size()) return 0;
    String needle(what);
    if (!caseSensitive) needle.LowerCase();
    return SearchStream(file, needle, caseSensitive != 0, wholeWord != 0);
}

double FindFileInFile(const String& first, const String& second) {
    if (second.Length() == 0) return -1;
    // An empty file is found everywhere, without opening either file.
    String name(second);
    name.SetZero();
    if (FileSize(name.Data()) == 0) return 1;
    TFileReader file;
    if (!file.Open(second) || file.Size() > kMaxFileInFile) return -1;
    if (file.Size() == 0) return 1;
    String content;
    content.SetLength(static_cast<int>(file.Size()));
    ssize_t got = file.ReadFull(content.Data(), static_cast<size_t>(content.Length()));
    if (got < 0) return -1;
    if (got == 0) return 1;  // emptied since it was opened
    content.SetLength(static_cast<int>(got));
    return FindStrInFile(first, content, 1, 0);
}

bool GetFileCRC(const String& path, uint32_t& crc, String& message) {
    message = "";
    if (path.Length() == 0) {
        message = "File is not specified";
        return false;
    }
    TFileReader file;
    std::unique_ptr<char[]> block = Allocate(kChecksumBlock);
    if (!file.Open(path) || !block) {
        message = "Cannot open file";
        return false;
    }
    TCRC32 checksum;
    for (;;) {
        ssize_t got = file.ReadFull(block.get(), kChecksumBlock);
        if (got < 0) {
            message = "Read error";
            return false;
        }
        checksum.UpdateCRC(block.get(), static_cast<int>(got));
        if (static_cast<size_t>(got) < kChecksumBlock) break;
    }
    crc = checksum.GetCRC();
    return true;
}
