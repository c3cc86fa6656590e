// The text-log scan written the plain way: byte by byte, every line held whole in a String and
// matched with String::Search or SearchForExpression (which converts the expression for every
// line). The unit tests and the fuzz target compare the block scanner with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "expr/rpolish.h"
#include "foundation/string.h"

namespace textlogref {

struct Filter {
    std::string text;
    int isExpression = 0;
    int caseSensitive = 0;
    int wholeWord = 0;
};

struct Result {
    int64_t position = 0;
    int64_t matchValue = 0;
    int filter = -1;
    std::string line;
};

inline int MatchOne(const Filter& f, const String& line) {
    String text(f.text.data(), static_cast<int>(f.text.size()));
    if (f.isExpression) return SearchForExpression(line, text, f.caseSensitive, f.wholeWord);
    return line.Search(text, f.caseSensitive, f.wholeWord);
}

// Scans `bytes`, the file from offset `start` on. Lines are matched whole and reported with their
// first reportBytes bytes.
inline Result Scan(const std::string& bytes, int64_t start, const std::vector<Filter>& filters,
                   bool scanToEnd, size_t reportBytes) {
    Result result;
    result.position = start;
    std::string line;
    int64_t consumed = 0;
    for (char c : bytes) {
        consumed++;
        if (c != '\r' && c != '\n') {
            line += c;
            continue;
        }
        if (line.empty()) continue;
        int64_t before = result.position;
        result.position += consumed;
        consumed = 0;
        String whole(line.data(), static_cast<int>(line.size()));
        std::string head = line.substr(0, reportBytes);
        line.clear();
        for (size_t i = 0; i < filters.size(); i++) {
            int m = MatchOne(filters[i], whole);
            if (m == 0) continue;
            result.matchValue = before + m;
            result.filter = static_cast<int>(i);
            result.line = head;
            if (!scanToEnd) return result;
            break;
        }
    }
    return result;
}

}  // namespace textlogref
