#include "expr/text_search.h"

#include <cstdint>
#include <cstring>

#include "foundation/check.h"

namespace {

bool IsAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

void LowerAscii(const char* src, char* dst, size_t n) {
    // Eight bytes at a time: a byte is upper case when its low seven bits are at least 'A' and at
    // most 'Z' and its top bit is clear; the sums below never carry into the next byte.
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x;
        std::memcpy(&x, src + i, 8);
        uint64_t low7 = x & ~kHigh;
        uint64_t atLeastA = low7 + kOnes * (0x80 - 'A');
        uint64_t aboveZ = low7 + kOnes * (0x80 - 'Z' - 1);
        uint64_t upper = atLeastA & ~aboveZ & ~x & kHigh;
        x |= upper >> 2;  // 0x80 >> 2 is the case bit 0x20
        std::memcpy(dst + i, &x, 8);
    }
    for (; i < n; i++) dst[i] = LoCase(src[i]);
}

TextNeedle::TextNeedle(const char* text, int length, int caseSensitive, int wholeWord)
    : bytes_(text != nullptr && length > 0 ? std::string(text, static_cast<size_t>(length))
                                           : std::string()),
      ignoreCase_(caseSensitive == 0),
      wholeWord_(wholeWord != 0) {
    if (ignoreCase_) LowerAscii(bytes_.data(), bytes_.data(), bytes_.size());
}

bool TextNeedle::CanOccurInLogLine() const {
    return !bytes_.empty() && bytes_.find_first_of("\r\n") == std::string::npos;
}

int TextNeedle::Find(const LineView& line) const {
    const char* text = ignoreCase_ ? line.lower : line.raw;
    size_t n = bytes_.size();
    size_t length = line.length > 0 ? static_cast<size_t>(line.length) : 0;
    if (n == 0 || n > length) return 0;
    QDX_CHECK(text != nullptr, "line view holds the bytes searched", "text_search");
    for (size_t start = 0; start + n <= length;) {
        const void* hit = memmem(text + start, length - start, bytes_.data(), n);
        if (hit == nullptr) return 0;
        size_t p = static_cast<size_t>(static_cast<const char*>(hit) - text);
        if (!wholeWord_) return static_cast<int>(p) + 1;
        size_t after = p + n;
        bool wordStart = p == 0 || !IsAsciiAlnum(static_cast<unsigned char>(text[p - 1]));
        bool wordEnd = after >= length || !IsAsciiAlnum(static_cast<unsigned char>(text[after]));
        if (wordStart && wordEnd) return static_cast<int>(p) + 1;
        start = p + 1;
    }
    return 0;
}
