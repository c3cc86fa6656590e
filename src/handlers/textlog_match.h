// One search filter of a text-log scan (a plain string or an expression), prepared once per scan
// and matched against every new line.
#pragma once

#include <cstdint>
#include <vector>

#include "expr/compiled_expression.h"
#include "expr/text_search.h"
#include "foundation/string.h"

class LogLineFilter {
public:
    // `text` is the string to look for, or an expression when isExpression is non-zero.
    LogLineFilter(const String& text, int isExpression, int caseSensitive, int wholeWord);
    LogLineFilter(const LogLineFilter&) = delete;
    LogLineFilter& operator=(const LogLineFilter&) = delete;

    // The matcher's result for one line: the 1-based position of the string (String::Search), or
    // 1 when the expression is true (SearchForExpression); 0 for no match.
    int Match(const LineView& line);

    bool NeedsLowerCase() const;
    // True when any line may match; false when only lines holding one of Needles() can. A scan
    // uses the needles to pass over lines that cannot match without looking at them.
    bool MatchesLinesWithoutNeedles() const;
    // The texts that can occur in a log line and make this filter match.
    const std::vector<const TextNeedle*>& Needles() const { return needles_; }

    // A line too long to hold is searched piece by piece for every text the filter looks at, in
    // this order; Conclude then gives Match's result for the whole line from their progress (one
    // entry per text), as a 64-bit value since such a line can pass 2 GiB.
    const std::vector<const TextNeedle*>& SearchedTexts() const { return searched_; }
    int64_t Conclude(const NeedleProgress* progress);

private:
    bool isExpression_;
    TextNeedle plain_;
    CompiledExpression expression_;
    std::vector<const TextNeedle*> needles_;
    std::vector<const TextNeedle*> searched_;
};
