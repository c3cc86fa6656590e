#include "expr/rpolish.h"

#include <cstring>
#include <utility>

const TPriorityItem PriorityTable1[kPriorityTable1Rows] = {
    {"(", 65535, 0}, {"not", 65535, 0}, {")", 1, 65520}, {"and", 1, 1}, {"or", 1, 1},
};

namespace {

// As String::Trim: control bytes and the space.
bool IsTrimmable(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

int RowOf(const TPriorityItem* rows, int count, String token) {
    token.LowerCase();
    for (int i = 0; i < count; i++)
        if (token == rows[i].Token) return i;
    return -1;
}

}  // namespace

TExprParser::TExprParser(const TPriorityItem* priorities, int count)
    : priorities_(priorities), count_(count) {}

int TExprParser::TokenInPriority(String token) const {
    int row = RowOf(priorities_, count_, std::move(token));
    return row < 0 ? -1 : priorities_[row].InPriority;
}

int TExprParser::TokenSPriority(String token) const {
    int row = RowOf(priorities_, count_, std::move(token));
    return row < 0 ? -1 : priorities_[row].SPriority;
}

int TExprParser::TokenInPos(const String& s, int pos) const {
    if (pos < 1) return -1;
    return RowAt(s.Data(), pos - 1, s.Length());
}

// Row whose token is spelt at 0-based `pos` of data[0, end).
int TExprParser::RowAt(const char* data, int pos, int end) const {
    for (int i = 0; i < count_; i++) {
        const String& token = priorities_[i].Token;
        int n = token.Length();
        if (n > 0 && pos + n <= end && std::memcmp(data + pos, token.Data(), n) == 0) return i;
    }
    return -1;
}

// The next token of data[cur, end). Trimming both ends of the rest is what GetToken does to its
// String; keeping the rest as a range makes a whole conversion linear in the expression's length.
String TExprParser::NextToken(const char* data, int& cur, int& end) {
    while (cur < end && IsTrimmable(data[cur])) cur++;
    while (end > cur && IsTrimmable(data[end - 1])) end--;
    if (cur == end) return String();

    int row = RowAt(data, cur, end);
    if (row >= 0) {
        cur += priorities_[row].Token.Length();
        return priorities_[row].Token;
    }
    int stop = cur + 1;
    char first = data[cur];
    if (first == '"' || first == '\'') {
        const void* close = std::memchr(data + cur + 1, first, end - cur - 1);
        if (close == nullptr) {
            ErrorText = "Unterminated string: ";
            ErrorText.AddData(data + cur, end - cur);
            return String();
        }
        stop = static_cast<int>(static_cast<const char*>(close) - data) + 1;
    } else {
        while (stop < end && data[stop] != ' ' && RowAt(data, stop, end) < 0) stop++;
    }
    String token(data + cur, stop - cur);
    cur = stop;
    return token;
}

String TExprParser::GetToken(String& s) {
    int cur = 0;
    int end = s.Length();
    String token = NextToken(s.Data(), cur, end);
    s = s.Copy(cur + 1, end - cur);
    return token;
}

void TExprParser::MoveTop(TStrList& stack) {
    Polish.Add(stack[stack.Count() - 1]);
    stack.DeleteLast();
}

int TExprParser::Expr2Polish(String& expr) {
    ErrorText = "";
    Polish.Clear();
    TStrList stack;
    int cur = 0;
    int end = expr.Length();
    int result = 0;
    for (;;) {
        String token = NextToken(expr.Data(), cur, end);
        if (token.Length() == 0 || ErrorText.Length() != 0) {
            if (ErrorText.Length() == 0) {
                while (stack.Count() > 0) MoveTop(stack);
                result = 1;
            }
            break;
        }
        int priority = TokenInPriority(token);
        if (priority != -1) {
            token.LowerCase();
            while (stack.Count() > 0 && TokenSPriority(stack[stack.Count() - 1]) >= priority)
                MoveTop(stack);
            if (token != ")") {
                stack.Add(token);
                continue;
            }
            while (stack.Count() > 0 && stack[stack.Count() - 1] != "(") MoveTop(stack);
            if (stack.Count() == 0) {
                ErrorText = "Missing \"(\"";
                break;
            }
            stack.DeleteLast();
            continue;
        }
        bool quoted = token[1] == '"' || token[1] == '\'';
        if (!quoted && !isdecimalnum(token.Data(), token.Length())) {
            ErrorText = "Unknown operator: \"";
            ErrorText += token;
            ErrorText += "\"";
            break;
        }
        Polish.Add(token);
    }
    expr = expr.Copy(cur + 1, end - cur);
    return result;
}

BoolStack::BoolStack(int capacity)
    : buffer_(new unsigned char[capacity > 0 ? capacity : 1]),
      capacity_(capacity > 0 ? capacity : 0) {}

void BoolStack::Push(int value) {
    if (size_ >= capacity_) {
        error_ = 1;
        return;
    }
    buffer_[size_++] = value ? 1 : 0;
}

int BoolStack::Pop() {
    if (size_ == 0) {
        error_ = 1;
        return 0;
    }
    return buffer_[--size_];
}

void BoolStack::Not() {
    if (size_ == 0) {
        error_ = 1;
        return;
    }
    buffer_[size_ - 1] ^= 1;
}

void BoolStack::And() {
    if (size_ < 2) {
        error_ = 1;
        return;
    }
    size_--;
    buffer_[size_ - 1] &= buffer_[size_];
}

void BoolStack::Or() {
    if (size_ < 2) {
        error_ = 1;
        return;
    }
    size_--;
    buffer_[size_ - 1] |= buffer_[size_];
}

void BoolStack::Clear() {
    size_ = 0;
    error_ = 0;
}

int SearchForExpression(const String& line, const String& expr, int caseSensitive, int wholeWord) {
    TExprParser parser(PriorityTable1, kPriorityTable1Rows);
    String copy(expr);
    if (!parser.Expr2Polish(copy)) return 0;

    BoolStack stack(parser.Polish.Count() + 2);
    for (int i = 0; i < parser.Polish.Count(); i++) {
        String entry = parser.Polish[i];
        if (entry == "not") {
            stack.Not();
        } else if (entry == "or") {
            stack.Or();
        } else if (entry == "and") {
            stack.And();
        } else {
            String inner = entry.Copy(2, entry.Length() - 2);
            stack.Push(line.Search(inner, caseSensitive, wholeWord) >= 1);
        }
        if (stack.Error()) return 0;
    }
    return stack.Count() == 1 && stack.Pop() == 1;
}
