#include "foundation/string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Str(const String& s) {
    return std::string(s.Data() ? s.Data() : "", s.Length());
}

TEST(String, EmptyFormsHaveNoBufferUntilSetZero) {
    String a(""), b(0), c;
    for (String* s : {&a, &b, &c}) {
        EXPECT_EQ(s->Length(), 0);
        EXPECT_EQ(s->Data(), nullptr);
        s->SetZero();
        ASSERT_NE(s->Data(), nullptr);
        EXPECT_EQ(s->Data()[0], '\0');
    }
    String d("abc");
    d = "";
    EXPECT_EQ(d.Length(), 0);
    EXPECT_NE(d.Data(), nullptr) << "assigning \"\" keeps the buffer";
    d = String();
    EXPECT_EQ(d.Data(), nullptr) << "assigning an empty String releases it";
}

TEST(String, GrowsInStepsOf128) {
    struct Case {
        int length;
        int capacity;
    } cases[] = {{1, 128}, {127, 128}, {128, 256}, {200, 256}, {256, 384}};
    for (auto c : cases) {
        String s(std::string(c.length, 'x').c_str());
        EXPECT_EQ(s.Capacity(), c.capacity) << c.length;
    }
    // Appending fills the spare byte; only SetZero then needs another step.
    String full(std::string(127, 'x').c_str());
    full.AddChar('y');
    EXPECT_EQ(full.Capacity(), 128);
    full.SetZero();
    EXPECT_EQ(full.Capacity(), 384);
    EXPECT_EQ(std::string(full.Data()), std::string(127, 'x') + "y");
}

TEST(String, ConcatenationAndAppendingSelf) {
    String a("ab"), b("cd");
    EXPECT_EQ(Str(a + b), "abcd");
    EXPECT_EQ(Str(a + "x"), "abx");
    EXPECT_EQ(Str(a + 'z'), "abz");
    EXPECT_EQ(Str(a + static_cast<const char*>(nullptr)), "ab");
    String big(std::string(127, 'q').c_str());
    big += big;  // the source moves while the buffer grows
    EXPECT_EQ(Str(big), std::string(254, 'q'));
    String zeros("a\0b", 3);
    EXPECT_EQ(zeros.Length(), 3);
    EXPECT_TRUE(zeros == String("a\0b", 3));
    EXPECT_FALSE(zeros == "a");
    EXPECT_TRUE(String() == static_cast<const char*>(nullptr));
    String self("keep");
    self = self;
    self.CopyData(self.Data(), 2);
    EXPECT_EQ(Str(self), "keep");
}

TEST(String, PosDeleteCopy) {
    String abc("abc"), abcdef("abcdef");
    EXPECT_EQ(abc.Pos('x'), 0);
    EXPECT_EQ(abc.Pos("c", -1), 3);
    EXPECT_EQ(abc.Pos(String()), 0);
    EXPECT_EQ(String().Pos("a", -1), 0);
    EXPECT_EQ(abc.Pos("abcd", -1), 0);

    struct Del {
        int index, count;
        const char* result;
    } dels[] = {{2, 100, "a"},    {0, 1, "abcdef"}, {7, 1, "abcdef"},
                {1, 0, "abcdef"}, {6, 1, "abcde"},  {3, 2, "abef"}};
    for (auto d : dels) {
        String s(abcdef);
        s.Delete(d.index, d.count);
        EXPECT_EQ(Str(s), d.result) << d.index << "," << d.count;
    }
    struct Cp {
        int index, count;
        const char* result;
    } copies[] = {{2, 3, "bcd"}, {5, 10, "ef"}, {7, 1, ""},
                  {1, 0, ""},    {0, 3, ""},    {1, 6, "abcdef"}};
    for (auto c : copies)
        EXPECT_EQ(Str(abcdef.Copy(c.index, c.count)), c.result) << c.index << "," << c.count;
}

// Names in UTF-8 or Latin-1 keep their first and last bytes: only control bytes and spaces go.
TEST(String, TrimRemovesControlBytesAndKeepsHighBytes) {
    struct Case {
        std::string in, out;
    } cases[] = {{" \t x \r\n", "x"},
                 {"\xE9word", "\xE9word"},
                 {"word\xE9\r\n", "word\xE9"},
                 {"caf\xC3\xA9", "caf\xC3\xA9"},
                 {" \xE5\x90\x8D\xE5\x89\x8D\r", "\xE5\x90\x8D\xE5\x89\x8D"},
                 {"\x7F\x80\xFF", "\x7F\x80\xFF"},
                 {"   ", ""},
                 {"a b", "a b"},
                 {"", ""},
                 {std::string("\0x\0", 3), "x"}};
    for (auto& c : cases) {
        String s(c.in.data(), static_cast<int>(c.in.size()));
        EXPECT_EQ(Str(s.Trim()), c.out);
    }
}

TEST(String, SearchCaseAndWholeWords) {
    struct Case {
        const char* text;
        const char* what;
        int cs, ww, pos;
    } cases[] = {{"ab b", "b", 1, 1, 4},
                 {"xab", "AB", 0, 0, 2},
                 {"ab", "ab", 1, 1, 1},
                 {"xab", "AB", 1, 0, 0},
                 {"abab", "ab", 1, 1, 0},
                 {"a-ab.", "ab", 1, 1, 3},
                 {"\xE9"
                  "ab",
                  "ab", 1, 1, 2},
                 {"", "a", 1, 0, 0},
                 {"abc", "", 1, 0, 0}};
    for (auto c : cases)
        EXPECT_EQ(String(c.text).Search(c.what, c.cs, c.ww), c.pos) << c.text << "/" << c.what;
}

TEST(String, GetWordRemoveRepeatsReplaceAll) {
    String s("a,,c");
    EXPECT_EQ(Str(s.GetWord(2, ',')), "");
    EXPECT_EQ(Str(s.GetWord(3, ',')), "c");
    EXPECT_EQ(Str(s.GetWord(4, ',')), "");
    EXPECT_EQ(Str(s.GetWord(0, ',')), Str(s.GetWord(1, ',')));
    EXPECT_EQ(Str(String("a,").GetWord(2, ',')), "");

    EXPECT_EQ(Str(String("a   b  c").RemoveRepeats(' ')), "a b c");
    EXPECT_EQ(Str(String("   a").RemoveRepeats(' ')), " a");

    struct Rep {
        const char* text;
        const char* what;
        const char* with;
        int cs;
        const char* out;
    } reps[] = {{"a,,", ",", ";", 1, "a;;"},       {",", ",", ";", 1, ";"},
                {"axb", "X", "y", 0, "ayb"},       {"axb", "X", "y", 1, "axb"},
                {"aaa", "aa", "b", 1, "ba"},       {"abc", "", "z", 1, "abc"},
                {"a b", " ", "\r\n", 1, "a\r\nb"}, {"a\r\nb\r\n", "\r\n", " ", 1, "a b "}};
    for (auto r : reps)
        EXPECT_EQ(Str(String(r.text).ReplaceAll(r.what, r.with, r.cs)), r.out) << r.text;
}

TEST(String, StrCpyCutsAndTerminates) {
    char buf[16];
    std::memset(buf, 'z', sizeof buf);
    String("abcdef").StrCpy(buf, 4);
    EXPECT_STREQ(buf, "abc");
    String().StrCpy(buf, 10);
    EXPECT_EQ(buf[0], '\0');
    String("abcdef").StrCpy(buf, -1);
    EXPECT_STREQ(buf, "abcdef");
    EXPECT_EQ(String("x").StrCpy(nullptr, 4), nullptr);
    // Sizes of 0 and below -1 write nothing, neither in the array nor before it.
    for (int size : {0, -2, -100}) {
        std::memset(buf, 'z', sizeof buf);
        EXPECT_EQ(String("abcdef").StrCpy(buf + 8, size), buf + 8) << size;
        EXPECT_EQ(std::string(buf, sizeof buf), std::string(16, 'z')) << size;
    }
}

TEST(String, SetLengthResizesAndZeroFills) {
    String s("abc");
    s.SetLength(10);
    EXPECT_EQ(s.Length(), 10);
    EXPECT_EQ(s.Data()[5], '\0');
    s.SetLength(2);
    EXPECT_EQ(Str(s), "ab");
    s.SetLength(0);
    EXPECT_EQ(s.Data(), nullptr);
}

TEST(TextFunctions, DecimalTestsAndCase) {
    EXPECT_TRUE(isdecimalnum(""));
    EXPECT_TRUE(isdecimalnum("-"));
    EXPECT_TRUE(isdecimalnum("12-3"));
    EXPECT_FALSE(isdecimalnum("1a"));
    EXPECT_FALSE(isdecimalnum("-1", 2));
    EXPECT_TRUE(isdecimalnum("12x", 2));
    EXPECT_TRUE(isdecimalnum("x", 0));
    char word[] = "AbC\xC9z";
    EXPECT_STREQ(strlower(word), "abc\xC9z");
    EXPECT_STREQ(strupper(word), "ABC\xC9Z");
    EXPECT_EQ(mempos("abcabc", 6, "ca", 2), 3);
    EXPECT_EQ(mempos("abc", 3, "bc", 2), 2) << "a match ending at the last byte counts";
    EXPECT_EQ(mempos("ab", 2, "abc", 3), 0);
    EXPECT_EQ(memposi("xABc", 4, "bC", 2), 3);
}

TEST(TextFunctions, LineBreakEscape) {
    String raw("a\r\nb");
    String enc = qdxEncodeStrings(raw);
    EXPECT_EQ(Str(enc), "a%0D%0Ab");
    EXPECT_EQ(Str(qdxDecodeStrings(enc)), "a\r\nb");
    EXPECT_EQ(Str(qdxDecodeStrings("x%0", 0)), "x%0");
    EXPECT_EQ(Str(qdxDecodeStrings("%0d", 0)), "%0d");
    EXPECT_EQ(Str(qdxDecodeStrings("100%0A", 0)), "100\n");
    EXPECT_EQ(Str(qdxEncodeStrings("50%\n", 0)), "50%%0A");
    EXPECT_EQ(qdxEncodeStrings(nullptr, 3).Length(), 0);
    String emptyWithBuffer("x");
    emptyWithBuffer = "";
    EXPECT_EQ(qdxEncodeStrings(emptyWithBuffer).Length(), 0);
}

TEST(TStrList, AddReadDeleteAndGrowth) {
    TStrList list;
    for (int i = 0; i < 129; i++) list.Add(String(std::to_string(i).c_str()));
    EXPECT_EQ(list.Count(), 129);
    EXPECT_EQ(list.Capacity(), 256);
    list.Add(String());
    EXPECT_EQ(list[129].Length(), 0);
    list.Delete(0);
    EXPECT_EQ(Str(list[0]), "1");
    list.DeleteLast();
    EXPECT_EQ(list.Count(), 128);
    EXPECT_EQ(Str(list[127]), "128");
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Capacity(), 0);
}

TEST(TStrListDeathTest, IndexOutOfRangeStops) {
    TStrList list;
    EXPECT_DEATH(list[0], "operator\\[\\]");
    EXPECT_DEATH(list.Delete(0), "Delete");
}

}  // namespace
