// Looking for one text in many lines without allocating per line: a search text is prepared once
// (lower-cased when letter case is ignored) and gives the same answers as String::Search.
#pragma once

#include <cstddef>
#include <string>

#include "foundation/string.h"

// One line as a scan hands it to the matchers.
struct LineView {
    const char* raw = nullptr;    // the bytes as read
    const char* lower = nullptr;  // the same bytes in ASCII lower case; needed only by searches
                                  // that ignore case, null otherwise
    int length = 0;
};

// Writes the ASCII lower case of n bytes at src to dst (dst may equal src).
void LowerAscii(const char* src, char* dst, size_t n);

// A search text prepared once.
class TextNeedle {
public:
    TextNeedle() = default;
    TextNeedle(const char* text, int length, int caseSensitive, int wholeWord);

    // 1-based position of the first occurrence in the line, 0 when there is none: the answer of
    // String::Search(text, caseSensitive, wholeWord) on the line's bytes.
    int Find(const LineView& line) const;

    // The bytes looked for (lower case when case is ignored); empty never matches.
    const std::string& Bytes() const { return bytes_; }
    bool IgnoresCase() const { return ignoreCase_; }
    bool WholeWord() const { return wholeWord_; }
    // False for an empty text and for one holding CR or LF, which no line of a log can contain.
    bool CanOccurInLogLine() const;

private:
    std::string bytes_;
    bool ignoreCase_ = false;
    bool wholeWord_ = false;
};
