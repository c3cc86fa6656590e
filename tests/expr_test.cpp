#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "expr/compiled_expression.h"
#include "expr/rpolish.h"
#include "expr/text_search.h"

namespace {

std::string Str(const String& s) {
    return std::string(s.Data() ? s.Data() : "", s.Length());
}

String Bytes(const std::string& s) {
    return String(s.data(), static_cast<int>(s.size()));
}

std::string PolishText(const TExprParser& parser) {
    std::string out;
    for (int i = 0; i < parser.Polish.Count(); i++) {
        if (i) out += ' ';
        out += Str(parser.Polish[i]);
    }
    return out;
}

TEST(ExprParser, TableLookups) {
    TExprParser parser(PriorityTable1, kPriorityTable1Rows);
    struct Case {
        const char* token;
        int in;
        int stacked;
    } cases[] = {
        {"(", 65535, 0},   {"not", 65535, 0}, {")", 1, 65520}, {"and", 1, 1},    {"or", 1, 1},
        {"NoT", 65535, 0}, {"OR", 1, 1},      {"'a'", -1, -1}, {"andx", -1, -1}, {"", -1, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parser.TokenInPriority(c.token), c.in) << c.token;
        EXPECT_EQ(parser.TokenSPriority(c.token), c.stacked) << c.token;
    }
    // Position lookups are exact and case-sensitive.
    EXPECT_EQ(parser.TokenInPos("x or", 3), 4);
    EXPECT_EQ(parser.TokenInPos("x OR", 3), -1);
    EXPECT_EQ(parser.TokenInPos("(not", 2), 1);
    EXPECT_EQ(parser.TokenInPos("no", 1), -1);
    EXPECT_EQ(parser.TokenInPos("or", 0), -1);
}

TEST(ExprParser, GetTokenSplitsTheExpression) {
    struct Case {
        const char* expr;
        std::vector<std::string> tokens;
        const char* error;
    } cases[] = {
        {"'error' and not ('debug' or 'trace')",
         {"'error'", "and", "not", "(", "'debug'", "or", "'trace'", ")"},
         ""},
        {"ordinary", {"or", "dinary"}, ""},  // operators are found at the start of a word
        {"Andor", {"And", "or"}, ""},        // a word stops where an operator begins
        {"  AND  'x'", {"AND", "'x'"}, ""},  // upper case is a word here
        {"\"it's\" 'say \"hi\"'", {"\"it's\"", "'say \"hi\"'"}, ""},
        {"x'y' 12(", {"x'y'", "12", "("}, ""},
        {"1234and", {"1234", "and"}, ""},
        {"\t'a'\r\n", {"'a'"}, ""},
        {"a\tb c", {"a\tb", "c"}, ""},         // only a space ends a word
        {"\xE9'a'\xE9", {"\xE9'a'\xE9"}, ""},  // bytes above 0x7F are no blanks
        {"'a' 'abc", {"'a'"}, "Unterminated string: 'abc"},
        {"", {}, ""},
    };
    for (const Case& c : cases) {
        TExprParser parser(PriorityTable1, kPriorityTable1Rows);
        String rest(c.expr);
        std::vector<std::string> tokens;
        for (String t = parser.GetToken(rest); t.Length() != 0; t = parser.GetToken(rest))
            tokens.push_back(Str(t));
        EXPECT_EQ(tokens, c.tokens) << c.expr;
        EXPECT_EQ(Str(parser.ErrorText), c.error) << c.expr;
    }
}

TEST(ExprParser, Expr2PolishOrdersByPriority) {
    struct Case {
        const char* expr;
        const char* polish;
    } cases[] = {
        {"'a' or 'b' and 'c'", "'a' 'b' or 'c' and"},  // equal priorities group from the left
        {"('a' or 'b') and 'c'", "'a' 'b' or 'c' and"},
        {"'a' or ('b' and 'c')", "'a' 'b' 'c' and or"},
        {"not 'a' and 'b'", "'a' 'b' and not"},  // not reaches to the end
        {"'x' and not 'a' or 'b'", "'x' 'a' 'b' or not and"},
        {"not ('a' or 'b') and 'c'", "'a' 'b' or 'c' and not"},
        {"('a' and not 'b') or 'c'", "'a' 'b' not and 'c' or"},  // ")" takes the not with it
        {"'a' AND 'b'", "'a' 'b' and"},
        {"'a' Or NOT 'b'", "'a' 'b' not or"},
        {"('a'", "'a' ("},  // an unclosed "(" stays, as an operand
        {"1234", "1234"},
        {"'a' 'b'", "'a' 'b'"},
        {"'a' and", "'a' and"},
        {"", ""},
    };
    for (const Case& c : cases) {
        TExprParser parser(PriorityTable1, kPriorityTable1Rows);
        String expr(c.expr);
        EXPECT_EQ(parser.Expr2Polish(expr), 1) << c.expr << ": " << Str(parser.ErrorText);
        EXPECT_EQ(PolishText(parser), c.polish) << c.expr;
        EXPECT_EQ(parser.ErrorText.Length(), 0);
    }
}

TEST(ExprParser, Expr2PolishRefusals) {
    struct Case {
        const char* expr;
        const char* error;
    } cases[] = {
        {"'a' and 'b", "Unterminated string: 'b"},
        {"error", "Unknown operator: \"err\""},  // the word stops where "or" begins
        {"'a' == 'b'", "Unknown operator: \"==\""},
        {"'a' xor 'b'", "Unknown operator: \"x\""},  // "or" begins inside xor
        {"'a' andd 'b'", "Unknown operator: \"d\""},
        {"12a", "Unknown operator: \"12a\""},
        {"'a')", "Missing \"(\""},
        {"('a')) or 'b'", "Missing \"(\""},
    };
    for (const Case& c : cases) {
        TExprParser parser(PriorityTable1, kPriorityTable1Rows);
        String expr(c.expr);
        EXPECT_EQ(parser.Expr2Polish(expr), 0) << c.expr;
        EXPECT_EQ(Str(parser.ErrorText), c.error) << c.expr;
    }
}

TEST(BoolStack, ErrorIsStickyAndNothingPassesCapacity) {
    BoolStack stack(2);
    stack.Push(1);
    stack.Push(7);  // stored as 1
    EXPECT_EQ(stack.Error(), 0);
    stack.Push(0);
    EXPECT_EQ(stack.Error(), 1);
    EXPECT_EQ(stack.Count(), 2);
    stack.And();
    EXPECT_EQ(stack.Count(), 1);
    EXPECT_EQ(stack.Error(), 1) << "never cleared by later operations";
    stack.Not();
    EXPECT_EQ(stack.Pop(), 0);
    EXPECT_EQ(stack.Pop(), 0);  // empty

    struct Case {
        void (BoolStack::*op)();
        int values;
    } tooFew[] = {{&BoolStack::Not, 0}, {&BoolStack::And, 1}, {&BoolStack::Or, 1}};
    for (const Case& c : tooFew) {
        BoolStack s(4);
        for (int i = 0; i < c.values; i++) s.Push(1);
        (s.*c.op)();
        EXPECT_EQ(s.Error(), 1);
        EXPECT_EQ(s.Count(), c.values);
    }
    BoolStack s(3);
    s.Push(1);
    s.Push(0);
    s.Or();
    s.Push(0);
    s.And();
    EXPECT_EQ(s.Count(), 1);
    EXPECT_EQ(s.Pop(), 0);
    EXPECT_EQ(s.Error(), 0);
    s.Pop();
    s.Clear();
    EXPECT_EQ(s.Error(), 0);
    EXPECT_EQ(s.Count(), 0);
}

struct EvalCase {
    const char* line;
    const char* expr;
    int caseSensitive;
    int wholeWord;
    int expected;
};

const EvalCase kEvalCases[] = {
    {"Fatal ERROR here", "'error'", 0, 0, 1},
    {"Fatal ERROR here", "'error'", 1, 0, 0},
    {"errors found", "'err'", 0, 1, 0},
    {"err: found", "'err'", 0, 1, 1},
    {"a x", "'a' or 'b' and 'c'", 1, 0, 0},
    {"a x", "('a' or 'b') and 'c'", 1, 0, 0},
    {"a x", "'a' or ('b' and 'c')", 1, 0, 1},
    {"b", "not 'a' and 'b'", 1, 0, 1},
    {"a b", "not 'a' and 'b'", 1, 0, 0},
    {"a", "not 'a' and 'b'", 1, 0, 1},
    {"x a", "'x' and not 'a' or 'b'", 1, 0, 0},
    {"x c", "'x' and not 'a' or 'b'", 1, 0, 1},
    {"a b", "'a' AND 'b'", 1, 0, 1},
    {"a", "'a' AND 'b'", 1, 0, 0},
    {"it's here", "\"it's\"", 1, 0, 1},
    {"say \"hi\" now", "'say \"hi\"'", 1, 0, 1},
    {"x23y", "1234", 1, 0, 1},  // digits lose their first and last character
    {"12", "12", 1, 0, 0},
    {"", "not 'a'", 1, 0, 1},
    {"anything", "not (", 1, 0, 1},  // the unclosed "(" is an operand that is never found
    {"a", "('a'", 1, 0, 0},
    // Malformed expressions and empty operands never match.
    {"'a' error ( ) a b", "'a", 1, 0, 0},
    {"'a' error ( ) a b", "error", 1, 0, 0},
    {"'a' error ( ) a b", "'a')", 1, 0, 0},
    {"'a' error ( ) a b", "'a' 'b'", 1, 0, 0},
    {"'a' error ( ) a b", "'a' and", 1, 0, 0},
    {"'a' error ( ) a b", "and 'a'", 1, 0, 0},
    {"'a' error ( ) a b", "", 1, 0, 0},
    {"'a' error ( ) a b", "''", 1, 0, 0},
    {"'a' error ( ) a b", "not ''", 1, 0, 1},
};

TEST(SearchForExpression, Examples) {
    for (const EvalCase& c : kEvalCases) {
        EXPECT_EQ(SearchForExpression(c.line, c.expr, c.caseSensitive, c.wholeWord), c.expected)
            << c.line << " / " << c.expr;
        CompiledExpression compiled;
        String error;
        compiled.Compile(c.expr, c.caseSensitive, c.wholeWord, error);
        EXPECT_EQ(compiled.Evaluate(c.line, static_cast<int>(std::strlen(c.line))), c.expected)
            << "compiled: " << c.line << " / " << c.expr;
    }
}

TEST(CompiledExpression, ReportsRefusalsAndWhichOperandsALineNeeds) {
    struct Case {
        const char* expr;
        bool valid;
        bool trueWithoutOperands;
        const char* operands;  // the distinct operands, those outside "not" in upper case
    } cases[] = {
        {"'a' and 'b' or 'a'", true, false, "AB"},  // repeated operands are searched once
        {"not 'debug'", true, true, "debug"},
        {"('f' or 'p') and not 'd'", true, false, "FPd"},
        {"not ('a' and not 'b') and 'c'", true, true, "aBc"},  // not reaches to the end
        {"not not 'a'", true, false, "A"},
        {"'a' and not 'a'", true, false, "A"},
        {"'a' or not 'b'", true, true, "Ab"},
        {"'a' 'b'", false, false, "ab"},  // malformed: nothing can make it true
        {"not (", true, true, "("},
        {"error", false, false, ""},
    };
    for (const Case& c : cases) {
        CompiledExpression compiled;
        String error;
        EXPECT_EQ(compiled.Compile(c.expr, 1, 0, error), c.valid) << c.expr;
        EXPECT_EQ(error.Length() == 0, c.valid) << c.expr;
        EXPECT_EQ(compiled.TrueWithoutOperands(), c.trueWithoutOperands) << c.expr;
        std::string operands;
        for (size_t i = 0; i < compiled.Operands().size(); i++) {
            std::string bytes = compiled.Operands()[i].Bytes();
            if (bytes.empty()) bytes = "(";
            if (compiled.Raises(i)) bytes[0] = static_cast<char>(std::toupper(bytes[0]));
            operands += bytes.size() == 1 ? bytes : bytes.substr(0, 5);
        }
        EXPECT_EQ(operands, c.operands) << c.expr;
    }
}

// Why an expression can match no line, as the text-log tests log it.
TEST(CompiledExpression, CheckExpressionGivesTheReason) {
    struct Case {
        const char* expr;
        const char* reason;  // empty: usable
    } cases[] = {
        {"'error' and not 'debug'", ""},
        {"'error' and", "An operator lacks an operand"},
        {"not", "An operator lacks an operand"},
        {"'a' 'b'", "Operands without an operator between them"},
        {"('a'", "Missing \")\""},
        {"", "Empty expression"},
        {"warning", "Unknown operator: \"warning\""},
        {"'a' and 'b", "Unterminated string: 'b"},
    };
    for (const Case& c : cases) {
        String reason;
        EXPECT_EQ(CheckExpression(c.expr, reason), c.reason[0] == '\0') << c.expr;
        EXPECT_EQ(Str(reason), c.reason) << c.expr;
    }
}

TEST(TextSearch, LowerAsciiChangesOnlyUpperCaseLetters) {
    std::string all;
    for (int i = 0; i < 256; i++) all += static_cast<char>(i);
    all += all;  // lengths that are and are not multiples of eight
    for (size_t n : {all.size(), all.size() - 3}) {
        std::string out(n, '\0');
        LowerAscii(all.data(), out.data(), n);
        for (size_t i = 0; i < n; i++) ASSERT_EQ(out[i], LoCase(all[i])) << i;
    }
}

std::string RandomText(std::mt19937& rng, const std::string& alphabet, size_t most) {
    std::string s(rng() % (most + 1), ' ');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
}

// Prepared searches and converted-once expressions give the same answers as searching and
// converting anew for every line.
TEST(TextSearch, NeedleFindsWhatStringSearchFinds) {
    std::mt19937 rng(5);
    const std::string alphabet = "abAB 1_\xE9-";
    for (int i = 0; i < 20000; i++) {
        std::string line = RandomText(rng, alphabet, 12);
        std::string what = RandomText(rng, alphabet, 3);
        int cs = rng() % 2, ww = rng() % 2;
        std::string lower(line);
        LowerAscii(line.data(), lower.data(), line.size());
        TextNeedle needle(what.data(), static_cast<int>(what.size()), cs, ww);
        LineView view{line.data(), lower.data(), static_cast<int>(line.size())};
        ASSERT_EQ(needle.Find(view), Bytes(line).Search(Bytes(what), cs, ww))
            << "'" << line << "' '" << what << "' " << cs << ww;
    }
}

// A line searched in pieces, each repeating the needle's overlap from the one before, finds what
// String::Search finds on the whole line. Repetitive needles and lines over a small alphabet make
// whole words refuse many overlapping occurrences.
TEST(TextSearch, PiecesFindWhatTheWholeLineFinds) {
    std::mt19937 rng(11);
    for (int i = 0; i < 30000; i++) {
        std::string line = RandomText(rng, "aab b-", 40);
        std::string what = RandomText(rng, "ab b", 7);
        int ww = rng() % 4 != 0;
        TextNeedle needle(what.data(), static_cast<int>(what.size()), 1, ww);
        int whole = Bytes(line).Search(Bytes(what), 1, ww);
        LineView view{line.data(), nullptr, static_cast<int>(line.size())};
        ASSERT_EQ(needle.Find(view), whole) << "'" << line << "' '" << what << "' " << ww;

        NeedleProgress progress;
        size_t start = 0;
        for (;;) {
            size_t end = std::min(line.size(), start + needle.Overlap() + 1 + rng() % 6);
            bool ends = end == line.size();
            needle.Advance(line.data() + start, static_cast<int64_t>(start), end - start, ends,
                           progress);
            if (ends) break;
            start = end - std::min(end - start, needle.Overlap());
        }
        ASSERT_EQ(progress.found + 1, whole) << "'" << line << "' '" << what << "' " << ww;
    }
}

TEST(CompiledExpression, AgreesWithConvertingForEveryLine) {
    std::mt19937 rng(9);
    const std::vector<std::string> pieces = {
        "'a'", "'b'", "\"ab\"", "'A'", "''", "and", "or",  "not",   "AND", "Or", "(",
        ")",   "12",  "123",    "x",   "'",  "\"",  "ord", "'a b'", " ",   "\t", "NOT",
    };
    const std::string alphabet = "abAB x123'\"";
    for (int i = 0; i < 4000; i++) {
        std::string expr;
        for (int n = static_cast<int>(rng() % 9); n > 0; n--) {
            expr += pieces[rng() % pieces.size()];
            if (rng() % 3) expr += ' ';
        }
        int cs = rng() % 2, ww = rng() % 2;
        CompiledExpression compiled;
        String error;
        compiled.Compile(Bytes(expr), cs, ww, error);
        for (int k = 0; k < 8; k++) {
            std::string line = RandomText(rng, alphabet, 10);
            ASSERT_EQ(compiled.Evaluate(line.data(), static_cast<int>(line.size())),
                      SearchForExpression(Bytes(line), Bytes(expr), cs, ww))
                << "expr [" << expr << "] line [" << line << "] " << cs << ww;
        }
    }
}

}  // namespace
