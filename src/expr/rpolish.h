// The log expression language: quoted strings joined by "and", "or" and "not" and grouped with
// parentheses, converted to reverse Polish notation by a priority-driven operator stack and
// evaluated against one line with a stack of truth values. SearchForExpression is the entry point
// for one line; CompiledExpression (compiled_expression.h) converts once for a whole scan.
#pragma once

#include <memory>

#include "foundation/string.h"

// One operator of a priority table.
struct TPriorityItem {
    String Token;    // as written, lower case
    int InPriority;  // when it arrives from the input
    int SPriority;   // while it waits on the operator stack
};

// The operators of the log search: "(", "not", ")", "and", "or", in lookup order. "(" and "not"
// enter with the highest priority and wait with the lowest, so only ")" or the end of the
// expression removes them; "and" and "or" are equal and group from the left.
extern const TPriorityItem PriorityTable1[];
constexpr int kPriorityTable1Rows = 5;

// Converts expressions to reverse Polish notation with one priority table (not owned).
class TExprParser {
public:
    TExprParser(const TPriorityItem* priorities, int count);

    // InPriority (SPriority) of the row whose token equals `token` in lower case; -1 for none.
    int TokenInPriority(String token) const;
    int TokenSPriority(String token) const;
    // Index of the first row whose token is spelt, byte for byte, at 1-based `pos` of s; -1 for
    // none.
    int TokenInPos(const String& s, int pos) const;

    // Removes the next token from the front of s (after trimming s) and returns it: an operator
    // of the table, a quoted string with both quotes, or a word up to the next space or operator.
    // Returns an empty String at the end of s, and on an unterminated string (ErrorText is set).
    String GetToken(String& s);

    // Converts `expr` (consumed) into Polish. Returns 1, or 0 with the reason in ErrorText:
    // "Unterminated string: <rest>", "Unknown operator: \"<word>\"" or "Missing \"(\"".
    int Expr2Polish(String& expr);

    TStrList Polish;   // the last conversion's output, operands and operators in RPN order
    String ErrorText;  // empty, or why the last conversion failed

private:
    int RowAt(const char* data, int pos, int end) const;
    String NextToken(const char* data, int& cur, int& end);
    void MoveTop(TStrList& stack);

    const TPriorityItem* priorities_;
    int count_;
};

// A fixed-capacity stack of truth values. Any operation that finds too few values or no room
// sets Error, which stays set until Clear().
class BoolStack {
public:
    explicit BoolStack(int capacity);
    BoolStack(const BoolStack&) = delete;
    BoolStack& operator=(const BoolStack&) = delete;

    void Push(int value);
    int Pop();  // 0 (and Error) on an empty stack
    void Not();
    void And();
    void Or();
    int Count() const { return size_; }
    int Error() const { return error_; }
    // Empties the stack and clears Error, so one stack can serve many lines.
    void Clear();

private:
    std::unique_ptr<unsigned char[]> buffer_;
    int size_ = 0;
    int capacity_;
    int error_ = 0;
};

// 1 when `expr` is true for `line`: every operand is looked for with String::Search and the two
// flags. 0 when it is false, and for any expression the conversion refuses or that leaves other
// than one value. Converts `expr` anew on every call; reentrant.
int SearchForExpression(const String& line, const String& expr, int caseSensitive, int wholeWord);
