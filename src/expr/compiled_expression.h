// An expression converted once and evaluated against many lines, with the same answer for every
// line as SearchForExpression, which converts it anew each time. Evaluating allocates nothing.
#pragma once

#include <memory>
#include <vector>

#include "expr/rpolish.h"
#include "expr/text_search.h"
#include "foundation/string.h"

class CompiledExpression {
public:
    CompiledExpression();
    ~CompiledExpression();
    CompiledExpression(const CompiledExpression&) = delete;
    CompiledExpression& operator=(const CompiledExpression&) = delete;

    // Converts `expr` with PriorityTable1; each operand is searched with the two flags. Returns
    // false, with the reason in `error`, when the expression is refused or not well formed
    // (operators and operands that do not fit together, or nothing at all): it then matches no
    // line.
    bool Compile(const String& expr, int caseSensitive, int wholeWord, String& error);

    // 1 when the expression is true for the line, else 0. The view must carry the lower-case
    // bytes when NeedsLowerCase(). Uses the object's own stack: one thread at a time.
    int Evaluate(const LineView& line);
    // The same for plain bytes (lower-cases them itself into a buffer it keeps).
    int Evaluate(const char* data, int length);
    // The same for a line searched piece by piece: operand i occurs when progress[i].found >= 0
    // (one entry per Operands() entry).
    int Evaluate(const NeedleProgress* progress);

    // True after a Compile whose operators and operands pair up (one value left, no operator
    // short of operands); an expression that is not matches no line.
    bool WellFormed() const { return wellFormed_; }

    // The distinct search texts of the operands.
    const std::vector<TextNeedle>& Operands() const { return operands_; }
    bool NeedsLowerCase() const;
    // True when a line holding none of the operand texts can still make the expression true
    // (as with not 'debug'); false when only lines holding one of them can.
    bool TrueWithoutOperands() const { return trueWithoutOperands_; }
    // True when operand i occurs outside any "not" (or under an even number of them). Unless
    // TrueWithoutOperands(), a line holding none of these operands is false: the expression only
    // grows with them and shrinks with the others.
    bool Raises(size_t operand) const { return raises_[operand]; }

private:
    struct Step {
        enum Kind : unsigned char { Operand, Not, And, Or } kind;
        int operand;  // index into operands_ for Operand
    };
    template <typename OperandValue>
    int Run(OperandValue value);
    static String NotWellFormed(const TStrList& polish, bool underflow);
    void FindRaisingOperands();

    std::vector<Step> program_;
    std::vector<TextNeedle> operands_;
    // The stack never underflows or ends with other than one value: depths do not depend on the
    // line, so this is settled once. A malformed program matches nothing.
    bool wellFormed_ = false;
    bool trueWithoutOperands_ = false;
    std::vector<bool> raises_;
    std::unique_ptr<BoolStack> stack_;
    std::vector<char> lowered_;
};

// True when `expr` converts and is well formed; false with the reason otherwise (such an
// expression matches no line).
bool CheckExpression(const String& expr, String& reason);
