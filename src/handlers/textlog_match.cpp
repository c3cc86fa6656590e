#include "handlers/textlog_match.h"

LogLineFilter::LogLineFilter(const String& text, int isExpression, int caseSensitive, int wholeWord)
    : isExpression_(isExpression != 0) {
    if (isExpression_) {
        String error;  // a refused expression matches no line
        expression_.Compile(text, caseSensitive, wholeWord, error);
        const std::vector<TextNeedle>& operands = expression_.Operands();
        for (size_t i = 0; i < operands.size(); i++) {
            searched_.push_back(&operands[i]);
            if (expression_.Raises(i) && operands[i].CanOccurInLogLine())
                needles_.push_back(&operands[i]);
        }
    } else {
        plain_ = TextNeedle(text.Data(), text.Length(), caseSensitive, wholeWord);
        searched_.push_back(&plain_);
        if (plain_.CanOccurInLogLine()) needles_.push_back(&plain_);
    }
}

int64_t LogLineFilter::Conclude(const NeedleProgress* progress) {
    if (isExpression_) return expression_.Evaluate(progress);
    return progress[0].found + 1;
}

int LogLineFilter::Match(const LineView& line) {
    return isExpression_ ? expression_.Evaluate(line) : plain_.Find(line);
}

bool LogLineFilter::NeedsLowerCase() const {
    return isExpression_ ? expression_.NeedsLowerCase() : plain_.IgnoresCase();
}

bool LogLineFilter::MatchesLinesWithoutNeedles() const {
    return isExpression_ && expression_.TrueWithoutOperands();
}
