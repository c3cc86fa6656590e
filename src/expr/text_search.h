// Looking for one text in many lines without allocating per line: a search text is prepared once
// (lower-cased when letter case is ignored) and gives the same answers as String::Search. A line
// too long to hold can be searched piece by piece as it streams past.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/string.h"

// One line as a scan hands it to the matchers.
struct LineView {
    const char* raw = nullptr;    // the bytes as read
    const char* lower = nullptr;  // the same bytes in ASCII lower case; needed only by searches
                                  // that ignore case, null otherwise
    int length = 0;
};

// How far a search through one line has come. Offsets count from the line's first byte.
struct NeedleProgress {
    int64_t next = 0;    // every occurrence starting before this offset has been looked at
    int64_t found = -1;  // offset of the first occurrence that counts, -1 while there is none
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

    // Searches one piece of a line: `text` holds the line's bytes [start, start + length) (lower
    // case when IgnoresCase()), and `lineEnds` says whether the line ends right after them. The
    // piece must begin at or before progress.next, and a piece that does not begin the line must
    // repeat the Overlap() bytes before the previous piece's end; then the pieces together find
    // what Find finds on the whole line. Work is linear in the line's length, also for whole
    // words, where a repetitive needle can occur at almost every offset and be refused each time.
    void Advance(const char* text, int64_t start, size_t length, bool lineEnds,
                 NeedleProgress& progress) const;
    // Bytes of a piece's end that the next piece must repeat: the needle's length minus one, and
    // one byte more on each side for whole words, whose neighbours decide.
    size_t Overlap() const;

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
    size_t period_ = 0;  // smallest period of bytes_ (whole words only): the shortest shift by
                         // which two occurrences can overlap
};
