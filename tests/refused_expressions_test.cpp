// Text-log expressions that can match no line: the failure-log note, once a minute per text, with
// a table of bounded size.
#include "handlers/refused_expressions.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Str(const String& s) {
    return s.Length() ? std::string(s.Data(), static_cast<size_t>(s.Length())) : std::string();
}

TEST(RecentTexts, OncePerIntervalPerTextAndBounded) {
    RecentTexts recent(2, 60000);
    EXPECT_TRUE(recent.DueAt("'a' and", 0));
    EXPECT_FALSE(recent.DueAt("'a' and", 59999));
    EXPECT_TRUE(recent.DueAt("'b' 'c'", 1000));  // another text is not held back
    EXPECT_TRUE(recent.DueAt("'a' and", 60000));
    // A third text takes the place of the one let through least recently ("'b' 'c'"), which is
    // then due again at once.
    EXPECT_TRUE(recent.DueAt("not", 61000));
    EXPECT_TRUE(recent.DueAt("'b' 'c'", 62000));
    EXPECT_FALSE(recent.DueAt("not", 62000));
}

TEST(NoteUnusableExpression, ReasonAndTextMadeSafeOnceAMinute) {
    QDXReply reply;
    NoteUnusableExpression("'error' and not 'debug'", reply);
    EXPECT_EQ(Str(reply.FailureNote()), "");

    NoteUnusableExpression("'error' and\r\n[fake] line", reply);
    EXPECT_EQ(Str(reply.FailureNote()),
              "Text-log expression matches no line (Unknown operator: \"[fake]\"): "
              "'error' and\\x0D\\x0A[fake] line");
    QDXReply again;
    NoteUnusableExpression("'error' and\r\n[fake] line", again);
    EXPECT_EQ(Str(again.FailureNote()), "") << "the same text within the minute";

    NoteUnusableExpression("'warn' and", again);
    EXPECT_EQ(Str(again.FailureNote()),
              "Text-log expression matches no line (An operator lacks an operand): 'warn' and");
}

}  // namespace
