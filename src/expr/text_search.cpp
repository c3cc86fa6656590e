#include "expr/text_search.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "foundation/check.h"

namespace {

bool IsAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Smallest p such that s[i] == s[i + p] for every i: the length minus the longest border (a proper
// prefix that is also a suffix), from the prefix function.
size_t SmallestPeriod(const std::string& s) {
    if (s.empty()) return 0;
    std::vector<uint32_t> border(s.size(), 0);
    for (size_t i = 1; i < s.size(); i++) {
        uint32_t k = border[i - 1];
        while (k > 0 && s[i] != s[k]) k = border[k - 1];
        if (s[i] == s[k]) k++;
        border[i] = k;
    }
    return s.size() - border.back();
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
    if (wholeWord_) period_ = SmallestPeriod(bytes_);
}

bool TextNeedle::CanOccurInLogLine() const {
    return !bytes_.empty() && bytes_.find_first_of("\r\n") == std::string::npos;
}

size_t TextNeedle::Overlap() const {
    if (bytes_.empty()) return 0;
    return wholeWord_ ? bytes_.size() + 1 : bytes_.size() - 1;
}

int TextNeedle::Find(const LineView& line) const {
    size_t length = line.length > 0 ? static_cast<size_t>(line.length) : 0;
    if (bytes_.empty() || bytes_.size() > length) return 0;
    const char* text = ignoreCase_ ? line.lower : line.raw;
    QDX_CHECK(text != nullptr, "line view holds the bytes searched", "text_search");
    NeedleProgress progress;
    Advance(text, 0, length, true, progress);
    return static_cast<int>(progress.found + 1);
}

void TextNeedle::Advance(const char* text, int64_t start, size_t length, bool lineEnds,
                         NeedleProgress& progress) const {
    const size_t n = bytes_.size();
    if (n == 0 || progress.found >= 0) return;
    // The byte before a candidate must be in the piece, unless the candidate starts the line.
    size_t from = static_cast<size_t>(std::max<int64_t>(progress.next - start, 0));
    if (wholeWord_ && start > 0) from = std::max<size_t>(from, 1);

    size_t at = 0;  // an occurrence, when `known`
    bool known = false;
    for (;;) {
        if (!known) {
            if (from >= length || length - from < n) break;
            const void* hit = memmem(text + from, length - from, bytes_.data(), n);
            if (hit == nullptr) break;
            at = static_cast<size_t>(static_cast<const char*>(hit) - text);
        }
        if (!wholeWord_) {
            progress.found = start + static_cast<int64_t>(at);
            return;
        }
        size_t after = at + n;
        if (after == length && !lineEnds) {  // the next piece tells what follows
            progress.next = start + static_cast<int64_t>(at);
            return;
        }
        bool wordStart = start + static_cast<int64_t>(at) == 0 ||
                         !IsAsciiAlnum(static_cast<unsigned char>(text[at - 1]));
        bool wordEnd = after == length || !IsAsciiAlnum(static_cast<unsigned char>(text[after]));
        if (wordStart && wordEnd) {
            progress.found = start + static_cast<int64_t>(at);
            return;
        }
        // Overlapping occurrences lie a period of the needle apart. With a short period the
        // text either goes on repeating it, which gives the next occurrence one period on at the
        // cost of one period's bytes, or it breaks off, and then no occurrence starts before the
        // last period of this one. With a long period the next occurrence is at least a period
        // on. Either way every byte is looked at a bounded number of times.
        size_t d = period_;
        if (2 * d <= n) {
            if (after + d <= length && std::memcmp(text + after, bytes_.data() + n - d, d) == 0) {
                at += d;
                known = true;
                continue;
            }
            from = after + d <= length ? at + n - d + 1 : at + d;
        } else {
            from = at + d;
        }
        known = false;
    }
    // Every candidate that fits in the piece has been looked at.
    int64_t unseen = static_cast<int64_t>(length) - static_cast<int64_t>(n) + 1;
    progress.next = start + std::max(static_cast<int64_t>(from), unseen);
}
